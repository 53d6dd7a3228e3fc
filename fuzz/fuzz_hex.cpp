// The hexadecimal readers of the text commands: parse_hex_bytes and parse_hex_number.
// Besides not crashing, each must agree with a plain reading of the same text.
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "command/interpreter.h"

namespace {

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void check_bytes(std::string_view text, size_t capacity) {
  uint8_t out[16];
  uint8_t guard[16];
  for (size_t i = 0; i < sizeof out; ++i) out[i] = guard[i] = static_cast<uint8_t>(0xA5 ^ i);
  const int written = tapline::parse_hex_bytes(text, out, capacity);
  bool all_digits = text.size() % 2 == 0 && text.size() / 2 <= capacity;
  for (char c : text) all_digits = all_digits && digit_value(c) >= 0;
  if (!all_digits) {
    // Refused: the destination stays as it was.
    if (written != -1) std::abort();
    for (size_t i = 0; i < sizeof out; ++i)
      if (out[i] != guard[i]) std::abort();
    return;
  }
  if (written != static_cast<int>(text.size() / 2)) std::abort();
  for (size_t i = 0; i < sizeof out; ++i) {
    if (i < static_cast<size_t>(written)) {
      if (out[i] != (digit_value(text[2 * i]) << 4 | digit_value(text[2 * i + 1]))) std::abort();
    } else if (out[i] != guard[i]) {
      std::abort();  // written past the pairs it read
    }
  }
}

void check_number(std::string_view text) {
  uint32_t value = 0xDEADBEEF;
  const bool ok = tapline::parse_hex_number(text, value);
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '0') digits.remove_prefix(1);
  if (!digits.empty() && (digits.front() == 'x' || digits.front() == 'X')) digits.remove_prefix(1);
  bool expected = digits.size() <= 8;
  uint32_t expected_value = 0;
  for (char c : digits) {
    const int digit = digit_value(c);
    expected = expected && digit >= 0;
    if (expected) expected_value = expected_value << 4 | static_cast<uint32_t>(digit);
  }
  if (ok != expected) std::abort();
  if (ok ? value != expected_value : value != 0xDEADBEEF) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the destination's capacity; the rest is the text.
  const size_t capacity = data[0] % 17;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  check_bytes(text, capacity);
  check_number(text);
  return 0;
}
