// The HTTP globals: HttpGet downloads a URL into a file; Curl fetches a URL (following
// redirects) and gives the script the body as text. Both load libcurl at each call.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "script/args.h"
#include "script/script_functions.h"
#include "system/console.h"
#include "system/curl_library.h"
#include "system/file_replace.h"
#include "system/text_codec.h"

namespace tapline::script {
namespace {

constexpr long kMaxRedirects = 30;

// Curl keeps the whole body in memory: beyond this many bytes (TAPLINE_CURL_MAX_BYTES
// replaces it) the transfer is given up, so that an endless body cannot take all memory.
constexpr size_t kDefaultBodyCap = size_t{256} << 20;

size_t body_cap() {
  const char* text = std::getenv("TAPLINE_CURL_MAX_BYTES");
  if (text == nullptr || *text == '\0') return kDefaultBodyCap;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno != 0 || text[0] == '-') {
    system::console_diagnostic_from(
        "Curl", "TAPLINE_CURL_MAX_BYTES=%s is not a byte count; the limit stays %zu\n", text,
        kDefaultBodyCap);
    return kDefaultBodyCap;
  }
  return static_cast<size_t>(value);
}

struct Body {
  std::string text;
  size_t cap = 0;
  bool over_cap = false;
  bool out_of_memory = false;
};

// Returning less than was given makes libcurl end the transfer with a write error.
size_t append_to_body(char* data, size_t item_size, size_t item_count, void* target) {
  Body& body = *static_cast<Body*>(target);
  const size_t bytes = item_size * item_count;
  if (bytes > body.cap - body.text.size()) {
    body.over_cap = true;
    return 0;
  }
  try {
    body.text.append(data, bytes);
  } catch (const std::bad_alloc&) {
    body.out_of_memory = true;
    return 0;
  }
  return item_count;
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
    system::console_diagnostic_from("Curl", "no URL given\n");
    return push_nothing(L);
  }
  const system::CurlEasy curl = system::load_curl_easy();
  if (!curl.loaded) {
    system::console_diagnostic_from("Curl", "libcurl cannot be loaded; %s not fetched\n", url);
    return push_nothing(L);
  }
  CURL* handle = curl.init();
  if (handle == nullptr) {
    system::console_diagnostic_from("Curl", "libcurl could not start a transfer; %s not fetched\n",
                                    url);
    return push_nothing(L);
  }
  Body body;
  body.cap = body_cap();
  char error[CURL_ERROR_SIZE] = "";
  curl.setopt(handle, CURLOPT_URL, url);
  curl.setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl.setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl.setopt(handle, CURLOPT_WRITEFUNCTION, &append_to_body);
  curl.setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&body));
  curl.setopt(handle, CURLOPT_ERRORBUFFER, error);
  const CURLcode result = system::perform_stoppable(curl, handle);
  long status = 0;
  curl.getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  curl.cleanup(handle);

  if (body.over_cap) {
    system::console_diagnostic_from(
        "Curl", "%s: the body is larger than %zu bytes (TAPLINE_CURL_MAX_BYTES)\n", url, body.cap);
    return push_nothing(L);
  }
  if (body.out_of_memory) {
    system::console_diagnostic_from("Curl", "%s: not enough memory for the body\n", url);
    return push_nothing(L);
  }
  if (result != CURLE_OK) {
    const char* reason = *error ? error : curl.strerror ? curl.strerror(result) : "failed";
    system::console_diagnostic_from("Curl", "%s: %s\n", url, reason);
    return push_nothing(L);
  }
  if (status != 200) {
    system::console_diagnostic_from("Curl", "%s: HTTP status %ld\n", url, status);
    return push_nothing(L);
  }
  body.text.resize(std::strlen(body.text.c_str()));  // the text ends at its first zero byte
  const std::string text = system::utf8_to_locale(body.text);
  lua_pushlstring(L, text.data(), text.size());
  return 1;
}

namespace {

// With no file, returning 0 makes libcurl stop the transfer at its first data.
size_t write_to_file(char* data, size_t item_size, size_t item_count, void* file) {
  if (file == nullptr) return 0;
  return std::fwrite(data, item_size, item_count, static_cast<FILE*>(file));
}

int push_result(lua_State* L, lua_Integer result) {
  lua_pushinteger(L, result);
  return 1;
}

}  // namespace

int HttpGet(lua_State* L) {
  const system::CurlEasy curl = system::load_curl_easy();
  if (!curl.loaded) {
    system::console_printf("load libcurl fail");
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
  if (const char* kind = system::unreplaceable_file_kind(file_name, system::Replacing::in_place)) {
    curl.cleanup(handle);
    system::console_diagnostic_from("HttpGet", "%s is %s, not a file; nothing was fetched\n",
                                    file_name, kind);
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
  // Network, TLS and HTTP errors leave what arrived in the file.
  system::perform_stoppable(curl, handle);
  if (file != nullptr) std::fclose(file);
  curl.cleanup(handle);
  return push_result(L, 1);
}

}  // namespace tapline::script
