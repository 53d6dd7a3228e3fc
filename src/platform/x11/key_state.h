// The X11 desktop's key state behind the key-state interface.
#pragma once

#include "platform/key_state.h"

namespace tapline::platform {

// Reads the display's pressed keys, pointer buttons and lock indicators. Its table of
// keycodes is built from the keyboard mapping on first use. Without a display every
// key reads as up and not toggled.
KeyStateSource& x11_key_state();

}  // namespace tapline::platform
