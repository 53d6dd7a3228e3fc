// HttpGet: downloads a URL into a file through libcurl, loaded at each call.
#include <cstdio>

#include "Lualib/args.h"
#include "Lualib/script_functions.h"
#include "platform/console.h"
#include "platform/curl_library.h"
#include "platform/stop_request.h"

namespace tapline::script {
namespace {

// With no file, returning 0 makes libcurl stop the transfer at its first data.
// Each piece that arrives is also a safe point for a stop request (SIGINT, SIGTERM).
size_t write_to_file(char* data, size_t item_size, size_t item_count, void* file) {
  platform::check_stop();
  if (file == nullptr) return 0;
  return std::fwrite(data, item_size, item_count, static_cast<FILE*>(file));
}

int push_result(lua_State* L, lua_Integer result) {
  lua_pushinteger(L, result);
  return 1;
}

}  // namespace

int HttpGet(lua_State* L) {
  const platform::CurlEasy curl = platform::load_curl_easy();
  if (!curl.loaded) {
    console_printf("load libcurl fail");
    return push_result(L, 0);
  }
  if (curl.init == nullptr || curl.setopt == nullptr || curl.perform == nullptr ||
      curl.cleanup == nullptr)
    return push_result(L, 0);
  CURL* handle = curl.init();
  if (handle == nullptr) return push_result(L, 0);
  const char* url = arg_text(L, 1);
  const char* file_name = arg_text(L, 2);
  if (url == nullptr || file_name == nullptr) {
    curl.cleanup(handle);
    return push_result(L, 0);
  }
  // Created or truncated even when nothing arrives; a file that cannot be opened stops
  // the transfer through the write callback.
  FILE* file = std::fopen(file_name, "wb");
  curl.setopt(handle, CURLOPT_URL, url);
  curl.setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(file));
  curl.setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
  curl.setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
  curl.setopt(handle, CURLOPT_WRITEFUNCTION, &write_to_file);
  curl.setopt(handle, CURLOPT_NOPROGRESS, 0L);
  // No progress function of our own: libcurl's meter writes to standard error.
  curl.setopt(handle, CURLOPT_PROGRESSFUNCTION, static_cast<curl_progress_callback>(nullptr));
  curl.setopt(handle, CURLOPT_PROGRESSDATA, static_cast<void*>(nullptr));
  curl.perform(handle);  // network, TLS and HTTP errors leave what arrived in the file
  if (file != nullptr) std::fclose(file);
  curl.cleanup(handle);
  return push_result(L, 1);
}

}  // namespace tapline::script
