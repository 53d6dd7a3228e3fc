// The text command language of quill5_cmd ("key:press,a", "touch:click,540,1200", ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tapline.h"

namespace tapline {

inline constexpr size_t kMaxCommandWordLength = 14;
inline constexpr size_t kMaxCommandParameters = 10;

// Reads `text` as pairs of hexadecimal digits (either case) into `destination`, one byte
// per pair. Returns the number of bytes written, or -1 (destination untouched) when the
// text has an odd number of characters, a character that is not a hexadecimal digit, or
// more pairs than `capacity`.
int parse_hex_bytes(std::string_view text, uint8_t* destination, size_t capacity);

// Reads a hexadecimal number: one leading "0" and then one "x" or "X" are skipped, every
// remaining character must be a hexadecimal digit (at most 8 of them; none gives 0).
// True with the value, or false.
bool parse_hex_number(std::string_view text, uint32_t& value);

}  // namespace tapline
