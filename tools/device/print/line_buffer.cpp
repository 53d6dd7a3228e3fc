#include "print/line_buffer.h"

#include <cstdarg>
#include <cstring>

namespace tapline::device {
namespace {

// Room kept free at the end for "...\n".
constexpr size_t kTailRoom = 5;

}  // namespace

void LineBuffer::appendf(const char* format, ...) {
  const size_t room = text_.size() - kTailRoom - used_;
  if (room <= 1) {
    overflowed_ = true;
    return;
  }
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(text_.data() + used_, room, format, args);
  va_end(args);
  if (written < 0) return;
  if (static_cast<size_t>(written) >= room) {
    overflowed_ = true;
    used_ += room - 1;
  } else {
    used_ += static_cast<size_t>(written);
  }
}

void LineBuffer::append(const char* text) {
  const size_t length = std::strlen(text);
  const size_t room = text_.size() - kTailRoom - used_;
  const size_t taken = length < room ? length : room;
  if (taken < length) overflowed_ = true;
  std::memcpy(text_.data() + used_, text, taken);
  used_ += taken;
}

void LineBuffer::append_char(char c) {
  if (used_ + kTailRoom >= text_.size()) {
    overflowed_ = true;
    return;
  }
  text_[used_++] = c;
}

void LineBuffer::append_hex(const uint8_t* bytes, size_t count, char separator) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    if (i > 0 && separator != '\0') append_char(separator);
    append_char(kDigits[bytes[i] >> 4]);
    append_char(kDigits[bytes[i] & 0x0F]);
  }
}

void LineBuffer::append_json_string(const char* text) {
  append_char('"');
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      append_char('\\');
      append_char(static_cast<char>(c));
    } else if (c < 0x20) {
      appendf("\\u%04x", c);
    } else {
      append_char(static_cast<char>(c));
    }
  }
  append_char('"');
}

void LineBuffer::write_line(std::FILE* out) {
  if (overflowed_) {
    std::memcpy(text_.data() + used_, "...", 3);
    used_ += 3;
  }
  text_[used_++] = '\n';
  std::fwrite(text_.data(), 1, used_, out);
  std::fflush(out);
  clear();
}

}  // namespace tapline::device
