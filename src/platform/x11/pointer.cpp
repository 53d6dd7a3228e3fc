#include "platform/x11/pointer.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <mutex>

#include "platform/x11/display.h"

namespace tapline::platform {

std::optional<image::Point> x11_pointer_over_window() {
  static std::once_flag opened;
  static Display* display = nullptr;
  std::call_once(opened, [] {
    // Without DISPLAY there is no server to ask, and nothing to say about it.
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return;
    XInitThreads();
    display = XOpenDisplay(nullptr);
    survive_connection_loss(display);
  });
  if (display == nullptr) return std::nullopt;
  Window root = 0, child = 0;
  int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
  unsigned int mask = 0;
  // Off its windows, Xwayland reports the root as the window under the pointer and no
  // child: its position is then the one where the pointer left.
  if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &root_x, &root_y, &win_x,
                     &win_y, &mask) ||
      child == 0)
    return std::nullopt;
  return image::Point{root_x, root_y};
}

}  // namespace tapline::platform
