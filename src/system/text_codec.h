// Character-set conversions through iconv. Script text and console text use the locale's
// character set (UTF-8 when the locale is C/POSIX); the system's own texts are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tapline::system {

// The locale's character set as iconv names it ("UTF-8" for C/POSIX and UTF-8 locales,
// "GBK" under a GBK locale). Read from LC_CTYPE once the program has called setlocale.
const std::string& locale_charset();
bool locale_is_utf8();

// Converts `text` between two iconv character sets. Characters that cannot be converted
// are skipped when `skip_invalid` is set; otherwise the conversion fails as a whole.
std::optional<std::string> convert_text(std::string_view text, const char* from, const char* to,
                                        bool skip_invalid = false);

// UTF-8 (the system's own texts) to the locale's character set, and back. Invalid input
// is passed through unchanged rather than lost.
std::string utf8_to_locale(std::string_view utf8);
std::string locale_to_utf8(std::string_view text);

}  // namespace tapline::system
