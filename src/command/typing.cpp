#include "command/typing.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "command/frame.h"
#include "command/keyboard.h"
#include "system/clock.h"
#include "system/console.h"
#include "system/text_codec.h"

namespace tapline {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // iconv_open's failure
constexpr uint8_t kReplacementHigh = 0xFF;                   // U+FFFD, high byte first
constexpr uint8_t kReplacementLow = 0xFD;

// One iconv descriptor for the length of a call.
class Converter {
 public:
  explicit Converter(iconv_t cd) : cd_(cd) {}
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != kNoConverter) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != kNoConverter; }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// GBK as iconv names it; some builds know it only as code page 936.
iconv_t open_gbk_encoder() {
  const iconv_t gbk = iconv_open("GBK", "UTF-32BE");
  return gbk != kNoConverter ? gbk : iconv_open("CP936", "UTF-32BE");
}

// The digit's key with left Alt held, then the key up with Alt still held.
void send_alt_digit(int digit) {
  send_keyboard(KeyboardFields{kModifierLeftAlt, {kAltDigitUsages[digit]}}.bytes());
  send_keyboard(KeyboardFields{kModifierLeftAlt, {}}.bytes());
}

// The five decimal digits of a character number, most significant first.
std::array<int, kAltDigitCount> decimal_digits(uint32_t number) {
  std::array<int, kAltDigitCount> digits{};
  for (int i = kAltDigitCount - 1; i >= 0; --i) {
    digits[i] = static_cast<int>(number % 10);
    number /= 10;
  }
  return digits;
}

void type_utf16_unit(uint16_t unit) {
  const auto digits = decimal_digits(unit);
  for (int i = 0; i < kAltDigitCount; ++i) {
    send_alt_digit(digits[i]);
    if (i == kAltDigitCount - 1) send_keyboard(KeyboardReport{});
    system::sleep_ms(kUnicodeDigitPauseMs);
  }
  system::sleep_ms(kUnicodeCharacterPauseMs);
}

// The character's GBK code as a 16-bit number: lead byte high, trail byte (or 0 for a
// one-byte character) low. False when GBK has no such character.
bool gbk_code(iconv_t gbk, uint32_t code_point, uint16_t& value) {
  const uint8_t in_bytes[4] = {
      static_cast<uint8_t>(code_point >> 24), static_cast<uint8_t>(code_point >> 16),
      static_cast<uint8_t>(code_point >> 8), static_cast<uint8_t>(code_point)};
  uint8_t out_bytes[8] = {};
  char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(in_bytes));
  size_t in_left = sizeof in_bytes;
  char* out = reinterpret_cast<char*>(out_bytes);
  size_t out_left = sizeof out_bytes;
  iconv(gbk, nullptr, nullptr, nullptr, nullptr);
  if (iconv(gbk, &in, &in_left, &out, &out_left) == static_cast<size_t>(-1)) return false;
  const size_t written = sizeof out_bytes - out_left;
  if (written == 0 || written > 2) return false;
  value = static_cast<uint16_t>(out_bytes[0] << 8 | out_bytes[1]);
  return true;
}

void type_gbk_code(uint16_t value) {
  for (int digit : decimal_digits(value)) send_alt_digit(digit);
  send_keyboard(KeyboardReport{});
  system::sleep_ms(kGbkCharacterPauseMs);
}

}  // namespace

size_t to_utf16_be(const char* source, uint8_t* destination, size_t source_length,
                   size_t destination_size, size_t* consumed) {
  if (consumed != nullptr) *consumed = 0;
  if (source == nullptr || source_length == 0) return 0;
  Converter to_utf16("UTF-16BE", system::locale_charset().c_str());
  if (!to_utf16.ok()) {
    system::console_diagnostic("no conversion from %s to UTF-16\n",
                               system::locale_charset().c_str());
    return 0;
  }
  char* in = const_cast<char*>(source);
  size_t in_left = source_length;
  char* out = reinterpret_cast<char*>(destination);
  size_t out_left = destination_size & ~static_cast<size_t>(1);
  while (in_left > 0) {
    if (iconv(to_utf16.get(), &in, &in_left, &out, &out_left) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) break;
    // A byte that starts no character of the charset (or a character cut off at the
    // end) stands for itself as U+FFFD, the way the system conversion marks it.
    if (out_left < 2) break;
    *out++ = static_cast<char>(kReplacementHigh);
    *out++ = static_cast<char>(kReplacementLow);
    out_left -= 2;
    ++in;
    --in_left;
  }
  if (consumed != nullptr) *consumed = source_length - in_left;
  return static_cast<size_t>(out - reinterpret_cast<char*>(destination));
}

}  // namespace tapline

using namespace tapline;

extern "C" {

int key_string(const char* text) {
  const system::CommandLock lock;
  if (text == nullptr) return 0;
  const size_t length = std::strlen(text);
  for (size_t i = 0; i < length; ++i) {
    const char name[2] = {text[i], '\0'};
    key(name, 0, 1);
  }
  return static_cast<int>(length);
}

void key_unicodestring(const char* text) {
  const system::CommandLock lock;
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  std::array<uint8_t, kUtf16BufferSize> units;
  size_t offset = 0;
  while (offset < length) {
    size_t consumed = 0;
    const size_t bytes =
        to_utf16_be(text + offset, units.data(), length - offset, units.size(), &consumed);
    for (size_t i = 0; i + 1 < bytes; i += 2)
      type_utf16_unit(static_cast<uint16_t>(units[i] << 8 | units[i + 1]));
    if (consumed == 0) break;  // no conversion at all: nothing more can be typed
    offset += consumed;
  }
  send_keyboard(KeyboardReport{});
}

void key_gbkstring(const char* text) {
  const system::CommandLock lock;
  if (text == nullptr || text[0] == '\0') return;
  const auto code_points =
      system::convert_text(text, system::locale_charset().c_str(), "UTF-32BE", true);
  Converter gbk(open_gbk_encoder());
  if (!code_points || !gbk.ok()) {
    system::console_diagnostic("cannot convert the text to GBK\n");
    return;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(code_points->data());
  for (size_t i = 0; i + 3 < code_points->size(); i += 4) {
    const uint32_t code_point = static_cast<uint32_t>(bytes[i]) << 24 |
                                static_cast<uint32_t>(bytes[i + 1]) << 16 |
                                static_cast<uint32_t>(bytes[i + 2]) << 8 | bytes[i + 3];
    uint16_t value = 0;
    if (gbk_code(gbk.get(), code_point, value)) type_gbk_code(value);
  }
}

}  // extern "C"
