#include "system/curl_library.h"

#include <dlfcn.h>

#include "system/dynamic_library.h"
#include "system/stop_request.h"

namespace tapline::system {
namespace {

constexpr const char* kDefaultName = "libcurl.so.4";
// The longest wait between two looks at a stop request, also when the stop descriptor
// cannot be watched.
constexpr int kStopCheckMs = 100;
const char* library_name = kDefaultName;

}  // namespace

CurlEasy load_curl_easy() {
  CurlEasy curl;
  void* library = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return curl;
  look_up(library, "curl_easy_init", curl.init);
  look_up(library, "curl_easy_setopt", curl.setopt);
  look_up(library, "curl_easy_cleanup", curl.cleanup);
  look_up(library, "curl_easy_getinfo", curl.getinfo);
  look_up(library, "curl_easy_strerror", curl.strerror);
  look_up(library, "curl_multi_init", curl.multi_init);
  look_up(library, "curl_multi_add_handle", curl.multi_add_handle);
  look_up(library, "curl_multi_remove_handle", curl.multi_remove_handle);
  look_up(library, "curl_multi_perform", curl.multi_perform);
  look_up(library, "curl_multi_poll", curl.multi_poll);
  look_up(library, "curl_multi_info_read", curl.multi_info_read);
  look_up(library, "curl_multi_cleanup", curl.multi_cleanup);
  curl.loaded = curl.init && curl.setopt && curl.cleanup && curl.getinfo && curl.multi_init &&
                curl.multi_add_handle && curl.multi_remove_handle && curl.multi_perform &&
                curl.multi_poll && curl.multi_info_read && curl.multi_cleanup;
  return curl;
}

CURLcode perform_stoppable(const CurlEasy& curl, CURL* handle) {
  CURLM* multi = curl.multi_init();
  if (multi == nullptr) return CURLE_OUT_OF_MEMORY;
  if (curl.multi_add_handle(multi, handle) != CURLM_OK) {
    curl.multi_cleanup(multi);
    return CURLE_OUT_OF_MEMORY;
  }
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl.multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      for (CURLMsg* message = curl.multi_info_read(multi, &left); message != nullptr;
           message = curl.multi_info_read(multi, &left))
        if (message->msg == CURLMSG_DONE) result = message->data.result;
      break;
    }
    check_stop();  // the console program ends here on a stop
    if (stop_requested()) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_waitfd stop{};
    stop.fd = stop_wake_fd();
    stop.events = CURL_WAIT_POLLIN;
    curl.multi_poll(multi, &stop, stop.fd >= 0 ? 1 : 0, kStopCheckMs, nullptr);
  }
  curl.multi_remove_handle(multi, handle);
  curl.multi_cleanup(multi);
  return result;
}

void set_curl_library_name(const char* file_name) {
  library_name = file_name != nullptr ? file_name : kDefaultName;
}

}  // namespace tapline::system
