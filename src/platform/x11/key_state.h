// The X11 desktop's key state behind the key-state interface.
#pragma once

#include <X11/X.h>

#include "platform/key_state.h"

namespace tapline::platform {

// Reads the display's pressed keys, pointer buttons and lock indicators. Its table of
// keycodes is built from the keyboard mapping on first use. Without a display every
// key reads as up and not toggled.
KeyStateSource& x11_key_state();

// The virtual-key code of a key that carries `keysym`; 0 when none. Shift, Ctrl and Alt
// give their side's code (0xA0 to 0xA5), as a key event names the key itself.
int virtual_key_of_keysym(KeySym keysym);

}  // namespace tapline::platform
