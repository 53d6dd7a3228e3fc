// The HTTP globals: HttpGet downloads a URL into a file; Curl fetches a URL (following
// redirects) and gives the script the body as text. Both load libcurl at each call.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/curl_library.h"
#include "platform/stop_request.h"
#include "platform/text_codec.h"
#include "script/args.h"
#include "script/script_functions.h"

namespace tapline::script {
namespace {

constexpr long kMaxRedirects = 30;

size_t append_to_body(char* data, size_t item_size, size_t item_count, void* body) {
  static_cast<std::string*>(body)->append(data, item_size * item_count);
  return item_count;
}

// libcurl asks at least once a second, also while it waits for a server: a stop request
// (SIGINT, SIGTERM) is acted on there rather than after the whole transfer.
int look_for_stop(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  platform::check_stop();
  return 0;
}

int push_nothing(lua_State* L) {
  lua_pushnil(L);
  return 1;
}

}  // namespace

// A failed request, a final status other than 200 and a missing URL give nil, with one
// line on standard error saying why.
int Curl(lua_State* L) {
  const char* url = arg_text(L, 1);
  if (url == nullptr) {
    console_diagnostic_from("Curl", "no URL given\n");
    return push_nothing(L);
  }
  const platform::CurlEasy curl = platform::load_curl_easy();
  if (!curl.loaded) {
    console_diagnostic_from("Curl", "libcurl cannot be loaded; %s not fetched\n", url);
    return push_nothing(L);
  }
  CURL* handle = curl.init();
  if (handle == nullptr) {
    console_diagnostic_from("Curl", "libcurl could not start a transfer; %s not fetched\n", url);
    return push_nothing(L);
  }
  std::string body;
  char error[CURL_ERROR_SIZE] = "";
  curl.setopt(handle, CURLOPT_URL, url);
  curl.setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl.setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl.setopt(handle, CURLOPT_WRITEFUNCTION, &append_to_body);
  curl.setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&body));
  curl.setopt(handle, CURLOPT_ERRORBUFFER, error);
  curl.setopt(handle, CURLOPT_XFERINFOFUNCTION, &look_for_stop);
  curl.setopt(handle, CURLOPT_NOPROGRESS, 0L);
  const CURLcode result = curl.perform(handle);
  long status = 0;
  curl.getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  curl.cleanup(handle);

  if (result != CURLE_OK) {
    const char* reason = *error ? error : curl.strerror ? curl.strerror(result) : "failed";
    console_diagnostic_from("Curl", "%s: %s\n", url, reason);
    return push_nothing(L);
  }
  if (status != 200) {
    console_diagnostic_from("Curl", "%s: HTTP status %ld\n", url, status);
    return push_nothing(L);
  }
  body.resize(std::strlen(body.c_str()));  // the text ends at its first zero byte
  const std::string text = platform::utf8_to_locale(body);
  lua_pushlstring(L, text.data(), text.size());
  return 1;
}

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
