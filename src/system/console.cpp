#include "system/console.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "system/stop_request.h"
#include "system/text_codec.h"

namespace tapline::system {
namespace {

// One write of the whole line, so that lines of several threads do not mix.
void write_diagnostic(const char* source, const char* format, va_list args) {
  std::string line = std::string(source) + ": ";
  va_list measuring;
  va_copy(measuring, args);
  const char* const text_format = locale_format(format);
  const int length = std::vsnprintf(nullptr, 0, text_format, measuring);
  va_end(measuring);
  if (length > 0) {
    const size_t prefix = line.size();
    line.resize(prefix + static_cast<size_t>(length) + 1);
    std::vsnprintf(line.data() + prefix, static_cast<size_t>(length) + 1, text_format, args);
    line.pop_back();  // the terminating zero
  }
  std::fputs(line.c_str(), stderr);
}

bool is_ascii(const char* text) {
  for (; *text; ++text)
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  return true;
}

}  // namespace

const char* locale_format(const char* format) {
  if (system::locale_is_utf8() || is_ascii(format)) return format;
  static std::mutex lock;
  static std::unordered_map<const char*, std::string> cache;
  std::lock_guard guard(lock);
  auto [it, inserted] = cache.try_emplace(format);
  if (inserted) it->second = system::utf8_to_locale(format);
  return it->second.c_str();
}

void console_vprintf(const char* format, va_list args) {
  const char* text = locale_format(format);
  errno = 0;
  // A reader that went away (`tapline s.lua | head`) ends the run as SIGPIPE would, but
  // through the safe stop at the next safe point, so that nothing is left held.
  if (std::vfprintf(stdout, text, args) < 0 || std::ferror(stdout)) {
    if (errno == EPIPE) system::request_stop(SIGPIPE);
  }
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

void console_diagnostic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_diagnostic("tapline", format, args);
  va_end(args);
}

void console_diagnostic_from(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_diagnostic(function, format, args);
  va_end(args);
}

}  // namespace tapline::system
