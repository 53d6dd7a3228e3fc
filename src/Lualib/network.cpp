// Curl: fetches a URL (following redirects) and gives the script the body as text.
#include <cstring>
#include <string>

#include "Lualib/args.h"
#include "Lualib/script_functions.h"
#include "platform/console.h"
#include "platform/curl_library.h"
#include "platform/stop_request.h"
#include "platform/text_codec.h"

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
    console_eprintf("Curl: no URL given\n");
    return push_nothing(L);
  }
  const platform::CurlEasy curl = platform::load_curl_easy();
  if (!curl.loaded || curl.init == nullptr || curl.setopt == nullptr || curl.perform == nullptr ||
      curl.cleanup == nullptr || curl.getinfo == nullptr) {
    console_eprintf("Curl: libcurl cannot be loaded; %s not fetched\n", url);
    return push_nothing(L);
  }
  CURL* handle = curl.init();
  if (handle == nullptr) {
    console_eprintf("Curl: libcurl could not start a transfer; %s not fetched\n", url);
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
    console_eprintf("Curl: %s: %s\n", url, reason);
    return push_nothing(L);
  }
  if (status != 200) {
    console_eprintf("Curl: %s: HTTP status %ld\n", url, status);
    return push_nothing(L);
  }
  body.resize(std::strlen(body.c_str()));  // the text ends at its first zero byte
  const std::string text = platform::utf8_to_locale(body);
  lua_pushlstring(L, text.data(), text.size());
  return 1;
}

}  // namespace tapline::script
