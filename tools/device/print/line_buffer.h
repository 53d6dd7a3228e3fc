// One output line assembled in a fixed buffer and written with a single call, so lines
// from the device never interleave and printing a frame allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tapline::device {

class LineBuffer {
 public:
  void clear() {
    used_ = 0;
    overflowed_ = false;
  }
  void appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void append(const char* text);
  void append_char(char c);
  // Bytes as lower-case hexadecimal, `separator` between bytes (none when '\0').
  void append_hex(const uint8_t* bytes, size_t count, char separator);
  // A JSON string literal with its quotes.
  void append_json_string(const char* text);
  // Terminates the line with '\n', writes it and flushes, so readers see it at once.
  // A line that did not fit ends in "..." rather than being cut mid-way silently.
  void write_line(std::FILE* out);

 private:
  static constexpr size_t kCapacity = 4096;
  std::array<char, kCapacity> text_{};
  size_t used_ = 0;
  bool overflowed_ = false;
};

}  // namespace tapline::device
