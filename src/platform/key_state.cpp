#include "platform/key_state.h"

#include <cstdlib>
#include <cstring>

#include "platform/backend_table.h"
#include "platform/desktop.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

// The key sources; the input events' table (platform/input_events.cpp) has a row of the
// same name for each. For auto, the desktop is X11 in an X11 session, Wayland otherwise
// (a Wayland desktop, or none): the X server of a Wayland desktop (Xwayland) sees the keys
// only while one of its own windows has the focus.
const BackendRow<KeyStateSource*(std::string&)> kKeyStateBackends[] = {
    {"x11", Desktops::x11, open_x11_key_state},
#ifdef TAPLINE_WITH_EVDEV
    {"evdev", Desktops::either, open_evdev_key_state},
#endif
};

struct KeyChoice {
  KeyStateSource* source;
  const char* name;
};

KeyChoice choose_keys() {
  BackendWish wish;
  const char* setting = std::getenv("TAPLINE_KEYS");
  if (setting != nullptr && std::strcmp(setting, "x11") == 0)
    wish.name = "x11";
  else if (setting != nullptr && std::strcmp(setting, "evdev") == 0)
    wish.name = "evdev";
  else if (setting != nullptr && *setting != '\0' && std::strcmp(setting, "auto") != 0)
    system::console_diagnostic(
        "TAPLINE_KEYS=%s is none of x11, evdev, auto; choosing as auto does\n", setting);
  const char* display = std::getenv("DISPLAY");
  const bool x11_session = display != nullptr && *display != '\0' && !wayland_session();
  wish.desktop = x11_session ? Desktop::x11 : Desktop::wayland;
  auto chosen = choose_backend(kKeyStateBackends, wish);
  if (!chosen.made) {
    // Only a build without the evdev backend gets here: X11's keys are the last resort.
    std::string reasons = chosen.reasons();
    if (reasons.empty()) reasons = "this build has no evdev backend";
    system::console_diagnostic(
        "keys: %s; the keys are read through X11, whose server on a Wayland desktop "
        "(Xwayland) sees them only while one of its own windows has the focus\n",
        reasons.c_str());
    chosen = choose_backend(kKeyStateBackends, {Desktop::x11, "x11"});
  }
  return {chosen.made, chosen.name};
}

const KeyChoice& key_choice() {
  static const KeyChoice chosen = choose_keys();
  return chosen;
}

KeyStateSource* current = nullptr;

}  // namespace

const char* chosen_key_source() { return key_choice().name; }

KeyStateSource& key_state() { return current ? *current : *key_choice().source; }

void set_key_state(KeyStateSource* replacement) { current = replacement; }

}  // namespace tapline::platform
