// libcurl's easy interface (and the multi interface that runs one easy transfer so that
// a stop request is seen at once), loaded at run time so that the program starts and runs
// without the library installed.
#pragma once

#define CURL_DISABLE_DEPRECATION  // the progress options below are the ones used on purpose
#include <curl/curl.h>

namespace tapline::system {

struct CurlEasy {
  // True only when the library loaded and every entry point but strerror was found, so a
  // caller checks this one flag.
  bool loaded = false;
  CURL* (*init)() = nullptr;
  CURLcode (*setopt)(CURL*, CURLoption, ...) = nullptr;
  void (*cleanup)(CURL*) = nullptr;
  CURLcode (*getinfo)(CURL*, CURLINFO, ...) = nullptr;
  const char* (*strerror)(CURLcode) = nullptr;
  CURLM* (*multi_init)() = nullptr;
  CURLMcode (*multi_add_handle)(CURLM*, CURL*) = nullptr;
  CURLMcode (*multi_remove_handle)(CURLM*, CURL*) = nullptr;
  CURLMcode (*multi_perform)(CURLM*, int*) = nullptr;
  CURLMcode (*multi_poll)(CURLM*, curl_waitfd*, unsigned int, int, int*) = nullptr;
  CURLMsg* (*multi_info_read)(CURLM*, int*) = nullptr;
  CURLMcode (*multi_cleanup)(CURLM*) = nullptr;
};

// Loads the library (it stays loaded for the life of the process) and looks up the easy
// interface; strerror may be missing (nullptr).
CurlEasy load_curl_easy();

// Runs the transfer set up on `handle` to its end, like curl_easy_perform, but waits
// through the multi interface with the stop descriptor among the watched ones: a stop
// request (a terminating signal) is acted on within 100 ms in every phase, name
// look-up, connect, waiting for the first byte and transfer. When the stop action
// returns (no action is installed) the transfer ends with CURLE_ABORTED_BY_CALLBACK.
CURLcode perform_stoppable(const CurlEasy& curl, CURL* handle);

// The file name the library is loaded by, "libcurl.so.4" unless replaced. Replacing it
// lets tests run as on a machine without libcurl; nullptr restores the default.
void set_curl_library_name(const char* file_name);

}  // namespace tapline::system
