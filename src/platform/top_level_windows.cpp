#include "platform/top_level_windows.h"

#include <cstdlib>

#include "platform/desktop.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

const char* non_empty_env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

TopLevelWindows& default_windows() {
  // Chosen once, at first use, and kept for the life of the process.
  static TopLevelWindows* const windows = []() -> TopLevelWindows* {
    const DesktopChoice choice = desktop_choice();
    const bool x11_forced = choice.desktop == Desktop::x11 && choice.chosen_by_setting;
    for (const char* variable : {"SWAYSOCK", "I3SOCK"}) {
      const char* socket = non_empty_env(variable);
      if (socket != nullptr && !x11_forced) return make_ipc_windows(socket).release();
    }
    if (choice.desktop == Desktop::wayland)
      system::console_diagnostic(
          "this Wayland desktop lists its windows to no other program: GetWindowPos and "
          "SetWindowPos reach only X11 (Xwayland) windows\n");
    return make_x11_windows().release();
  }();
  return *windows;
}

TopLevelWindows* current = nullptr;

}  // namespace

TopLevelWindows& top_level_windows() { return current ? *current : default_windows(); }

void set_top_level_windows(TopLevelWindows* replacement) { current = replacement; }

}  // namespace tapline::platform
