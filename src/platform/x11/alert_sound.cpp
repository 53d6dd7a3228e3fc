#include "platform/alert_sound.h"

#include <cstdio>

#include "platform/x11/display.h"

namespace tapline::platform {

void alert_sound() {
  if (Display* display = x11_display()) {
    XBell(display, 0);  // the bell at its base volume
    XFlush(display);
    return;
  }
  std::fputs("\a", stderr);
  std::fflush(stderr);
}

}  // namespace tapline::platform
