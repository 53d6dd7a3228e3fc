// Characters typed by their number: the host holds left Alt, taps five keypad digits and
// releases Alt. The number is either a GBK code (lead byte high, trail byte low; a
// one-byte character as its byte times 256) or one UTF-16 code unit.
#pragma once

#include <iconv.h>

#include <cstdint>

namespace tapline::device {

enum class AltCodeReading : uint8_t {
  Gbk,      // every number is a GBK code
  Unicode,  // every number is a UTF-16 code unit; surrogate pairs are joined
  // GBK where the number is a GBK code (a valid double-byte code, or a one-byte character
  // times 256), UTF-16 otherwise. The two overlap: a UTF-16 unit whose bytes also form a
  // GBK code (most of U+8140..U+FEFE, e.g. U+9A6C, and every U+xx00 with xx below 0x80,
  // e.g. U+4E00) is read as GBK. A low surrogate right after a high one is always UTF-16.
  Auto,
};

// "gbk", "unicode", "auto"; false for anything else.
bool parse_alt_code_reading(const char* text, AltCodeReading& reading);

class AltCodeDecoder {
 public:
  explicit AltCodeDecoder(AltCodeReading reading);
  ~AltCodeDecoder();
  AltCodeDecoder(const AltCodeDecoder&) = delete;
  AltCodeDecoder& operator=(const AltCodeDecoder&) = delete;

  // The character (a Unicode code point) that the number typed stands for; 0 when it
  // stands for none, or only for half of one: the first unit of a surrogate pair is kept
  // until the next number completes it.
  char32_t decode(uint32_t number);
  // The character of a GBK code, 0 when GBK has none.
  char32_t gbk_character(uint16_t code) const;
  // True while the first unit of a surrogate pair waits for the second.
  bool waiting() const { return high_surrogate_ != 0; }
  // Forgets a surrogate half still waiting for its partner.
  void reset() { high_surrogate_ = 0; }

 private:
  char32_t utf16_unit(uint16_t unit);

  AltCodeReading reading_;
  iconv_t from_gbk_;
  uint16_t high_surrogate_ = 0;
};

}  // namespace tapline::device
