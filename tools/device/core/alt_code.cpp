#include "core/alt_code.h"

#include <cstring>

namespace tapline::device {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

bool is_high_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool parse_alt_code_reading(const char* text, AltCodeReading& reading) {
  if (std::strcmp(text, "gbk") == 0)
    reading = AltCodeReading::Gbk;
  else if (std::strcmp(text, "unicode") == 0)
    reading = AltCodeReading::Unicode;
  else if (std::strcmp(text, "auto") == 0)
    reading = AltCodeReading::Auto;
  else
    return false;
  return true;
}

AltCodeDecoder::AltCodeDecoder(AltCodeReading reading) : reading_(reading) {
  // Some builds of iconv know GBK only as code page 936.
  from_gbk_ = iconv_open("UTF-32LE", "GBK");
  if (from_gbk_ == kNoConverter) from_gbk_ = iconv_open("UTF-32LE", "CP936");
}

AltCodeDecoder::~AltCodeDecoder() {
  if (from_gbk_ != kNoConverter) iconv_close(from_gbk_);
}

char32_t AltCodeDecoder::gbk_character(uint16_t code) const {
  const uint8_t high = static_cast<uint8_t>(code >> 8);
  const uint8_t low = static_cast<uint8_t>(code & 0xFF);
  if (high == 0) return 0;
  if (low == 0 && high < 0x80) return high;
  // A double-byte code starts with a lead byte; a one-byte code above 0x7F is iconv's
  // to judge (0x80 is the euro sign in code page 936).
  if (low != 0 && (high < 0x81 || high > 0xFE)) return 0;
  if (from_gbk_ == kNoConverter) return 0;
  char in_bytes[2] = {static_cast<char>(high), static_cast<char>(low)};
  char* in = in_bytes;
  size_t in_left = low == 0 ? 1 : 2;
  uint8_t out_bytes[8] = {};
  char* out = reinterpret_cast<char*>(out_bytes);
  size_t out_left = sizeof out_bytes;
  iconv(from_gbk_, nullptr, nullptr, nullptr, nullptr);
  if (iconv(from_gbk_, &in, &in_left, &out, &out_left) == static_cast<size_t>(-1) || in_left != 0 ||
      sizeof out_bytes - out_left != 4)
    return 0;
  return static_cast<char32_t>(out_bytes[0] | out_bytes[1] << 8 | out_bytes[2] << 16 |
                               out_bytes[3] << 24);
}

char32_t AltCodeDecoder::utf16_unit(uint16_t unit) {
  const uint16_t high = high_surrogate_;
  high_surrogate_ = 0;
  if (is_high_surrogate(unit)) {
    high_surrogate_ = unit;  // a high half without its low half is dropped
    return 0;
  }
  if (is_low_surrogate(unit)) {
    if (high == 0) return 0;
    return 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (unit - 0xDC00);
  }
  return unit;
}

char32_t AltCodeDecoder::decode(uint32_t number) {
  if (number > 0xFFFF) {
    high_surrogate_ = 0;
    return 0;
  }
  const uint16_t value = static_cast<uint16_t>(number);
  switch (reading_) {
    case AltCodeReading::Gbk:
      return gbk_character(value);
    case AltCodeReading::Unicode:
      return utf16_unit(value);
    case AltCodeReading::Auto:
      break;
  }
  if (high_surrogate_ != 0 && is_low_surrogate(value)) return utf16_unit(value);
  if (const char32_t character = gbk_character(value)) {
    high_surrogate_ = 0;
    return character;
  }
  return utf16_unit(value);
}

}  // namespace tapline::device
