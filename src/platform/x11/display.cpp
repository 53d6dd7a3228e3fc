#include "platform/x11/display.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "system/console.h"

namespace tapline::platform {
namespace {

// Xlib's own handling of a broken connection ends the process. Said once instead; the
// requests that follow fail quietly, so every function that needs the display reports
// that it has none and the script goes on.
int say_connection_lost(Display*) {
  static std::atomic<bool> said{false};
  if (!said.exchange(true))
    system::console_diagnostic(
        "the connection to the X11 display was lost; the screen, cursor, key state, "
        "windows and clipboard are unavailable from now on\n");
  return 0;
}

void keep_running(Display*, void*) {}

}  // namespace

void survive_connection_loss(Display* display) {
  static std::once_flag handler_set;
  std::call_once(handler_set, [] { XSetIOErrorHandler(say_connection_lost); });
  if (display != nullptr) XSetIOErrorExitHandler(display, keep_running, nullptr);
}

Display* x11_display() {
  static std::once_flag opened;
  static Display* display = nullptr;
  std::call_once(opened, [] {
    // Several of our threads may use the connection (clipboard, host messages).
    XInitThreads();
    display = XOpenDisplay(nullptr);
    if (display == nullptr) {
      const char* name = std::getenv("DISPLAY");
      system::console_diagnostic(
          "no X11 display%s%s; screen, cursor and key state are unavailable\n",
          name ? " at " : " (DISPLAY is not set)", name ? name : "");
    }
    survive_connection_loss(display);
  });
  return display;
}

}  // namespace tapline::platform
