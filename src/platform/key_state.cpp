#include "platform/key_state.h"

#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/evdev/key_state.h"
#include "platform/x11/key_state.h"

namespace tapline::platform {
namespace {

KeyStateSource* current = nullptr;

bool is_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// TAPLINE_KEYS: x11, evdev or auto (the default). Auto reads an X11 session's keys from
// its X server, and anything else's (Wayland, where the X server sees only its own
// windows' keys, or no desktop at all) from the input devices.
KeyStateSource& chosen_source() {
  const char* choice = std::getenv("TAPLINE_KEYS");
  if (choice != nullptr && std::strcmp(choice, "x11") == 0) return x11_key_state();
  if (choice != nullptr && std::strcmp(choice, "evdev") == 0) return evdev_key_state();
  if (choice != nullptr && *choice != '\0' && std::strcmp(choice, "auto") != 0)
    console_diagnostic("TAPLINE_KEYS=%s is none of x11, evdev, auto; choosing as auto does\n",
                       choice);
  const bool x11_session = is_set("DISPLAY") && !is_set("WAYLAND_DISPLAY");
  return x11_session ? x11_key_state() : evdev_key_state();
}

}  // namespace

KeyStateSource& key_state() {
  if (current) return *current;
  static KeyStateSource& chosen = chosen_source();
  return chosen;
}

void set_key_state(KeyStateSource* replacement) { current = replacement; }

}  // namespace tapline::platform
