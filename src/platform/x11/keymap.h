// Which X11 keycodes carry which virtual-key codes, read from the display's keyboard
// mapping: the keys' symbols are the server's, so that on a German layout the key marked
// Z is 'Z'.
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <cstdint>

#include "platform/virtual_keys.h"

namespace tapline::platform {

// For each virtual key, the keycodes of the display's keys that carry it (a generic
// modifier both its keys). Empty when the server gives no mapping.
void map_x11_keys(Display* display, VirtualKeyCodes& table);

// The virtual key of each keycode as a key event names it (Shift, Ctrl and Alt by side):
// the first of its symbols, at any level, that has one, so a keypad key whose first level
// is KP_Home is still the keypad's 7; 0 for keys without one, and for every key when the
// server gives no mapping.
using X11KeyVirtualKeys = std::array<uint8_t, 256>;
void map_x11_key_events(Display* display, X11KeyVirtualKeys& keys);

}  // namespace tapline::platform
