#include "platform/curl_library.h"

#include <dlfcn.h>

namespace tapline::platform {
namespace {

constexpr const char* kDefaultName = "libcurl.so.4";
const char* library_name = kDefaultName;

template <typename Function>
void look_up(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
}

}  // namespace

CurlEasy load_curl_easy() {
  CurlEasy curl;
  void* library = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return curl;
  look_up(library, "curl_easy_init", curl.init);
  look_up(library, "curl_easy_setopt", curl.setopt);
  look_up(library, "curl_easy_perform", curl.perform);
  look_up(library, "curl_easy_cleanup", curl.cleanup);
  look_up(library, "curl_easy_getinfo", curl.getinfo);
  look_up(library, "curl_easy_strerror", curl.strerror);
  curl.loaded = curl.init && curl.setopt && curl.perform && curl.cleanup && curl.getinfo;
  return curl;
}

void set_curl_library_name(const char* file_name) {
  library_name = file_name != nullptr ? file_name : kDefaultName;
}

}  // namespace tapline::platform
