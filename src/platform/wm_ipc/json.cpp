#include "platform/wm_ipc/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace tapline::platform {
namespace {

// Nesting deeper than any window tree, so that hostile input cannot exhaust the stack.
constexpr int kMaxDepth = 256;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document() {
    auto value = parse_value(0);
    skip_space();
    if (!value || pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }

  bool take(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool take_word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<JsonValue> parse_value(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    skip_space();
    if (pos_ >= text_.size()) return std::nullopt;
    switch (text_[pos_]) {
      case '{':
        return parse_object(depth);
      case '[':
        return parse_array(depth);
      case '"':
        if (auto text = parse_string()) return JsonValue(std::move(*text));
        return std::nullopt;
      case 't':
        return take_word("true") ? std::optional(JsonValue(true)) : std::nullopt;
      case 'f':
        return take_word("false") ? std::optional(JsonValue(false)) : std::nullopt;
      case 'n':
        return take_word("null") ? std::optional(JsonValue()) : std::nullopt;
      default:
        return parse_number();
    }
  }

  std::optional<JsonValue> parse_object(int depth) {
    ++pos_;
    JsonValue::Object members;
    if (take('}')) return JsonValue(std::move(members));
    do {
      skip_space();
      auto name = parse_string();
      if (!name || !take(':')) return std::nullopt;
      auto value = parse_value(depth + 1);
      if (!value) return std::nullopt;
      members.emplace_back(std::move(*name), std::move(*value));
    } while (take(','));
    if (!take('}')) return std::nullopt;
    return JsonValue(std::move(members));
  }

  std::optional<JsonValue> parse_array(int depth) {
    ++pos_;
    JsonValue::Array items;
    if (take(']')) return JsonValue(std::move(items));
    do {
      auto value = parse_value(depth + 1);
      if (!value) return std::nullopt;
      items.push_back(std::move(*value));
    } while (take(','));
    if (!take(']')) return std::nullopt;
    return JsonValue(std::move(items));
  }

  std::optional<JsonValue> parse_number() {
    const size_t start = pos_;
    while (pos_ < text_.size() &&
           std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos)
      ++pos_;
    double value = 0;
    const auto [end, error] = std::from_chars(text_.data() + start, text_.data() + pos_, value);
    if (error != std::errc() || end != text_.data() + pos_ || start == pos_ ||
        !std::isfinite(value))
      return std::nullopt;
    return JsonValue(value);
  }

  std::optional<uint32_t> parse_hex4() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    uint32_t value = 0;
    const auto [end, error] =
        std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, value, 16);
    if (error != std::errc() || end != text_.data() + pos_ + 4) return std::nullopt;
    pos_ += 4;
    return value;
  }

  static void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // A \u escape, with a UTF-16 surrogate pair as one character; a lone surrogate becomes
  // U+FFFD.
  std::optional<uint32_t> parse_escaped_code() {
    auto code = parse_hex4();
    if (!code) return std::nullopt;
    if (*code >= 0xD800 && *code < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
      const size_t before = pos_;
      pos_ += 2;
      auto low = parse_hex4();
      if (low && *low >= 0xDC00 && *low < 0xE000)
        return 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
      pos_ = before;
    }
    if (*code >= 0xD800 && *code < 0xE000) return 0xFFFD;
    return code;
  }

  std::optional<std::string> parse_string() {
    if (pos_ >= text_.size() || text_[pos_] != '"') return std::nullopt;
    ++pos_;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char escaped = text_[pos_++];
      switch (escaped) {
        case '"':
        case '\\':
        case '/':
          out += escaped;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          auto code = parse_escaped_code();
          if (!code) return std::nullopt;
          append_utf8(out, *code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::member(std::string_view name) const {
  if (const Object* members = object()) {
    for (const auto& [key, value] : *members)
      if (key == name) return &value;
  }
  return nullptr;
}

int JsonValue::integer_member(std::string_view name, int fallback) const {
  const JsonValue* value = member(name);
  const double* number = value ? value->number() : nullptr;
  if (number == nullptr || !(*number >= INT32_MIN && *number <= INT32_MAX)) return fallback;
  return static_cast<int>(*number);
}

std::optional<JsonValue> parse_json(std::string_view text) { return Parser(text).document(); }

}  // namespace tapline::platform
