#include "platform/x11/error_trap.h"

#include <mutex>

namespace tapline::platform {
namespace {

std::mutex trap_lock;
Display* trapped_display = nullptr;
XErrorHandler outer_handler = nullptr;
bool error_seen = false;

int record_error(Display* display, XErrorEvent* event) {
  if (display != trapped_display) return outer_handler ? outer_handler(display, event) : 0;
  error_seen = true;
  return 0;
}

}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display) {
  trap_lock.lock();
  XSync(display_, False);  // earlier requests' errors are not ours
  trapped_display = display_;
  error_seen = false;
  previous_ = XSetErrorHandler(record_error);
  outer_handler = previous_;
}

X11ErrorTrap::~X11ErrorTrap() {
  XSync(display_, False);
  XSetErrorHandler(previous_);
  trapped_display = nullptr;
  outer_handler = nullptr;
  trap_lock.unlock();
}

bool X11ErrorTrap::failed() {
  XSync(display_, False);
  const bool seen = error_seen;
  error_seen = false;
  return seen;
}

}  // namespace tapline::platform
