#include "system/text_codec.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>

namespace tapline::system {

const std::string& locale_charset() {
  static const std::string charset = [] {
    const char* name = nl_langinfo(CODESET);
    if (name == nullptr || *name == '\0' || std::strcmp(name, "ANSI_X3.4-1968") == 0)
      return std::string("UTF-8");
    return std::string(name);
  }();
  return charset;
}

bool locale_is_utf8() {
  const std::string& cs = locale_charset();
  return cs == "UTF-8" || cs == "utf-8" || cs == "UTF8" || cs == "utf8";
}

std::optional<std::string> convert_text(std::string_view text, const char* from, const char* to,
                                        bool skip_invalid) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(text.size() * 4 + 16);
  char* in_ptr = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  bool ok = true;
  while (in_left > 0) {
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      const size_t used = out.size() - out_left;
      out.resize(out.size() * 2);
      out_ptr = out.data() + used;
      out_left = out.size() - used;
    } else if (skip_invalid && (errno == EILSEQ || errno == EINVAL)) {
      // Skip one whole input character: step over UTF-8 continuation bytes too.
      ++in_ptr;
      --in_left;
      if (std::strcmp(from, "UTF-8") == 0) {
        while (in_left > 0 && (static_cast<unsigned char>(*in_ptr) & 0xC0) == 0x80) {
          ++in_ptr;
          --in_left;
        }
      }
    } else {
      ok = false;
      break;
    }
  }
  if (ok) {
    // Flush any shift state.
    iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - out_left);
  return out;
}

std::string utf8_to_locale(std::string_view utf8) {
  if (locale_is_utf8()) return std::string(utf8);
  auto converted = convert_text(utf8, "UTF-8", locale_charset().c_str());
  return converted ? *converted : std::string(utf8);
}

std::string locale_to_utf8(std::string_view text) {
  if (locale_is_utf8()) return std::string(text);
  auto converted = convert_text(text, locale_charset().c_str(), "UTF-8");
  return converted ? *converted : std::string(text);
}

}  // namespace tapline::system
