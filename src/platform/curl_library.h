// libcurl's easy interface, loaded at run time so that the program starts and runs
// without the library installed.
#pragma once

#define CURL_DISABLE_DEPRECATION  // the progress options below are the ones used on purpose
#include <curl/curl.h>

namespace tapline::platform {

struct CurlEasy {
  // True only when the library loaded and every entry point but strerror was found, so a
  // caller checks this one flag.
  bool loaded = false;
  CURL* (*init)() = nullptr;
  CURLcode (*setopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*perform)(CURL*) = nullptr;
  void (*cleanup)(CURL*) = nullptr;
  CURLcode (*getinfo)(CURL*, CURLINFO, ...) = nullptr;
  const char* (*strerror)(CURLcode) = nullptr;
};

// Loads the library (it stays loaded for the life of the process) and looks up the easy
// interface; strerror may be missing (nullptr).
CurlEasy load_curl_easy();

// The file name the library is loaded by, "libcurl.so.4" unless replaced. Replacing it
// lets tests run as on a machine without libcurl; nullptr restores the default.
void set_curl_library_name(const char* file_name);

}  // namespace tapline::platform
