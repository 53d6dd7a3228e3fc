// libcurl's easy interface, loaded at run time so that the program starts and runs
// without the library installed.
#pragma once

#define CURL_DISABLE_DEPRECATION  // the progress options below are the ones used on purpose
#include <curl/curl.h>

namespace tapline::platform {

struct CurlEasy {
  // False when the library itself could not be loaded.
  bool loaded = false;
  CURL* (*init)() = nullptr;
  CURLcode (*setopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*perform)(CURL*) = nullptr;
  void (*cleanup)(CURL*) = nullptr;
  CURLcode (*getinfo)(CURL*, CURLINFO, ...) = nullptr;
  const char* (*strerror)(CURLcode) = nullptr;
};

// Loads the library (it stays loaded for the life of the process) and looks up the easy
// interface; entry points that are missing are nullptr.
CurlEasy load_curl_easy();

// The file name the library is loaded by, "libcurl.so.4" unless replaced. Replacing it
// lets tests run as on a machine without libcurl; nullptr restores the default.
void set_curl_library_name(const char* file_name);

}  // namespace tapline::platform
