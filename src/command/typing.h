// Typing whole texts: key by key (`key_string`) or by Alt plus keypad digits of each
// character's UTF-16 code (`key_unicodestring`) or GBK code (`key_gbkstring`).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tapline.h"

namespace tapline {

// Keypad 0 to Keypad 9.
inline constexpr std::array<uint8_t, 10> kAltDigitUsages{0x62, 0x59, 0x5A, 0x5B, 0x5C,
                                                         0x5D, 0x5E, 0x5F, 0x60, 0x61};
// Every character number is typed as exactly five decimal digits.
inline constexpr int kAltDigitCount = 5;

inline constexpr int kUnicodeDigitPauseMs = 5;
inline constexpr int kUnicodeCharacterPauseMs = 150;
inline constexpr int kGbkCharacterPauseMs = 10;

// Conversion buffer of key_unicodestring: 256 UTF-16 units; longer texts go in pieces.
inline constexpr size_t kUtf16BufferSize = 512;

// Converts `source_length` bytes of locale text to UTF-16, each unit high byte first,
// into `destination` (`destination_size` bytes). Stops early when the destination is
// full, never splitting a character; `consumed` (optional) receives the number of source
// bytes converted. A byte that forms no character of the charset becomes U+FFFD.
// Returns the number of bytes written.
size_t to_utf16_be(const char* source, uint8_t* destination, size_t source_length,
                   size_t destination_size = kUtf16BufferSize, size_t* consumed = nullptr);

}  // namespace tapline
