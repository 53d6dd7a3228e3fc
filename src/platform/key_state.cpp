#include "platform/key_state.h"

#include <cstdlib>
#include <cstring>

#include "platform/desktop.h"
#include "platform/evdev/key_state.h"
#include "platform/x11/key_state.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

KeyStateSource* current = nullptr;

KeySource key_source_of_environment() {
  const char* choice = std::getenv("TAPLINE_KEYS");
  if (choice != nullptr && std::strcmp(choice, "x11") == 0) return KeySource::x11;
  if (choice != nullptr && std::strcmp(choice, "evdev") == 0) return KeySource::evdev;
  if (choice != nullptr && *choice != '\0' && std::strcmp(choice, "auto") != 0)
    system::console_diagnostic(
        "TAPLINE_KEYS=%s is none of x11, evdev, auto; choosing as auto does\n", choice);
  // The X server of a Wayland desktop (Xwayland) sees the keys only while one of its own
  // windows has the focus.
  const char* display = std::getenv("DISPLAY");
  const bool x11_session = display != nullptr && *display != '\0' && !wayland_session();
  return x11_session ? KeySource::x11 : KeySource::evdev;
}

}  // namespace

KeySource chosen_key_source() {
  static const KeySource chosen = key_source_of_environment();
  return chosen;
}

KeyStateSource& key_state() {
  if (current) return *current;
  return chosen_key_source() == KeySource::x11 ? x11_key_state() : evdev_key_state();
}

void set_key_state(KeyStateSource* replacement) { current = replacement; }

}  // namespace tapline::platform
