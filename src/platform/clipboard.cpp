#include "platform/clipboard.h"

#include "platform/desktop.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

Clipboard& default_clipboard() {
  // Chosen once, at first use, and kept for the life of the process.
  static Clipboard* const chosen = []() -> Clipboard* {
    if (desktop_choice().desktop == Desktop::wayland) {
      bool reachable = false;
      if (auto clipboard = make_wayland_clipboard(reachable)) return clipboard.release();
      if (reachable)
        system::console_diagnostic(
            "the Wayland display offers no clipboard to other programs: the clipboard is the "
            "X11 one, which Wayland programs see only after an X11 window had the focus\n");
      else
        system::console_diagnostic(
            "cannot connect to the Wayland display %s; the clipboard is the X11 one\n",
            wayland_socket_name().c_str());
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
