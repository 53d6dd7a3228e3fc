// The process's one connection to the X11 display named by DISPLAY.
#pragma once

#include <X11/Xlib.h>

namespace tapline::platform {

// Opened on first use and kept for the life of the process. nullptr when no display can
// be opened; that is said once on standard error, and later calls do not retry.
Display* x11_display();

// Makes a lost connection to the server (it ended, the screen went away) survivable for
// `display`: instead of ending the process, the loss is said once on standard error and
// later requests on that connection fail. For every connection the script's process opens.
void survive_connection_loss(Display* display);

}  // namespace tapline::platform
