#include "platform/console.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/text_codec.h"

namespace tapline {
namespace {

bool is_ascii(const char* text) {
  for (; *text; ++text)
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  return true;
}

}  // namespace

const char* locale_format(const char* format) {
  if (platform::locale_is_utf8() || is_ascii(format)) return format;
  static std::mutex lock;
  static std::unordered_map<const char*, std::string> cache;
  std::lock_guard guard(lock);
  auto [it, inserted] = cache.try_emplace(format);
  if (inserted) it->second = platform::utf8_to_locale(format);
  return it->second.c_str();
}

void console_vprintf(const char* format, va_list args) {
  std::vfprintf(stdout, locale_format(format), args);
}

void console_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  console_vprintf(format, args);
  va_end(args);
}

void console_eprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, locale_format(format), args);
  va_end(args);
}

}  // namespace tapline
