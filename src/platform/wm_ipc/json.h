// A small reader of JSON documents, for the answers of window managers' IPC sockets.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tapline::platform {

class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  using Object = std::vector<std::pair<std::string, JsonValue>>;

  JsonValue() = default;
  template <typename T>
  explicit JsonValue(T value) : value_(std::move(value)) {}

  bool is_null() const { return std::holds_alternative<std::monostate>(value_); }
  // Each accessor gives nullptr when the value is of another kind.
  const bool* boolean() const { return std::get_if<bool>(&value_); }
  const double* number() const { return std::get_if<double>(&value_); }
  const std::string* string() const { return std::get_if<std::string>(&value_); }
  const Array* array() const { return std::get_if<Array>(&value_); }
  const Object* object() const { return std::get_if<Object>(&value_); }
  // The member of an object; nullptr when this is no object or has no such member.
  const JsonValue* member(std::string_view name) const;
  // A number member as an int, or `fallback` when it is missing or no number.
  int integer_member(std::string_view name, int fallback = 0) const;

 private:
  std::variant<std::monostate, bool, double, std::string, Array, Object> value_;
};

// The document's value (strings in UTF-8); empty when the text is no well-formed JSON.
std::optional<JsonValue> parse_json(std::string_view text);

}  // namespace tapline::platform
