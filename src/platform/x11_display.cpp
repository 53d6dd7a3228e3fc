#include "platform/x11_display.h"

#include <cstdlib>
#include <mutex>

#include "platform/console.h"

namespace tapline::platform {

Display* x11_display() {
  static std::once_flag opened;
  static Display* display = nullptr;
  std::call_once(opened, [] {
    // Several of our threads may use the connection (clipboard, host messages).
    XInitThreads();
    display = XOpenDisplay(nullptr);
    if (display == nullptr) {
      const char* name = std::getenv("DISPLAY");
      console_eprintf("tapline: no X11 display%s%s; screen, cursor and key state are unavailable\n",
                      name ? " at " : " (DISPLAY is not set)", name ? name : "");
    }
  });
  return display;
}

}  // namespace tapline::platform
