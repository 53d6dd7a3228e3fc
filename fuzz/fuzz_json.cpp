// Answers of a window manager's IPC socket as the window search reads them: any bytes. A
// document is either refused or read whole; nothing may crash, however deep it nests.
#include <cstdlib>
#include <string>

#include "platform/wm_ipc/json.h"

namespace {

using tapline::platform::JsonValue;

// Visits every value, as the window search may.
size_t visit(const JsonValue& value) {
  size_t count = 1;
  if (const auto* items = value.array())
    for (const JsonValue& item : *items) count += visit(item);
  if (const auto* members = value.object()) {
    for (const auto& [name, member] : *members) {
      if (value.member(name) == nullptr) std::abort();  // every member is found by its name
      count += visit(member);
    }
    (void)value.integer_member("x");
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto document = tapline::platform::parse_json(text);
  if (!document) return 0;
  volatile size_t count = visit(*document);
  (void)count;
  // A document is read to its end: anything after it makes the text no document.
  if (tapline::platform::parse_json(text + "x")) std::abort();
  return 0;
}
