#include "platform/clipboard.h"

#include <cstdlib>

#include "platform/console.h"

namespace tapline::platform {
namespace {

Clipboard& default_clipboard() {
  // Chosen once, at first use, and kept for the life of the process.
  static Clipboard* const chosen = []() -> Clipboard* {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0') {
      bool reachable = false;
      if (auto clipboard = make_wayland_clipboard(reachable)) return clipboard.release();
      if (reachable)
        console_diagnostic(
            "the Wayland display offers no clipboard to other programs: the clipboard is the "
            "X11 one, which Wayland programs see only after an X11 window had the focus\n");
      else
        console_diagnostic(
            "cannot connect to the Wayland display %s; the clipboard is the X11 one\n", wayland);
    }
    return make_x11_clipboard().release();
  }();
  return *chosen;
}

Clipboard* current = nullptr;

}  // namespace

Clipboard& clipboard() { return current ? *current : default_clipboard(); }

void set_clipboard(Clipboard* replacement) { current = replacement; }

}  // namespace tapline::platform
