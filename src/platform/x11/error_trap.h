// Turns the X errors of a few requests into a result instead of Xlib's default handling,
// which ends the process (a window may vanish between finding it and using it).
#pragma once

#include <X11/Xlib.h>

namespace tapline::platform {

// While alive, errors on `display` are recorded rather than fatal. Traps are serialised
// process-wide, since Xlib has one error handler per process.
class X11ErrorTrap {
 public:
  explicit X11ErrorTrap(Display* display);
  ~X11ErrorTrap();
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

  // Waits until the server has handled every request sent so far; true when any request
  // since the trap was set (or since the last call) failed.
  bool failed();

 private:
  Display* display_;
  XErrorHandler previous_;
};

}  // namespace tapline::platform
