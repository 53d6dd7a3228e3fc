// Which evdev key codes carry which virtual-key codes: the keys' symbols come from the
// host's XKB keyboard layout, so that on a German layout the key marked Z is 'Z'.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/virtual_keys.h"

namespace tapline::platform {

// XKB rule names; an empty field takes XKB's default (pc105, us).
struct KeyboardLayout {
  std::string model;
  std::string layout;
  std::string variant;
  std::string options;
};

// The layout named by XKB_DEFAULT_MODEL, XKB_DEFAULT_LAYOUT, XKB_DEFAULT_VARIANT and
// XKB_DEFAULT_OPTIONS when XKB_DEFAULT_LAYOUT is set, else the system's console and
// desktop layout in /etc/default/keyboard, else XKB's default.
KeyboardLayout host_keyboard_layout();

// For each virtual key, the evdev codes of its keys in `layout`, with the left, right and
// middle mouse buttons as virtual keys 1, 2 and 4. False, with `table` untouched, when XKB
// has no keymap for the layout.
bool map_evdev_keys(const KeyboardLayout& layout, VirtualKeyCodes& table);

// The virtual key of each evdev key code that XKB knows (0 to 247) as a key event names it
// (Shift, Ctrl and Alt by side); 0 for keys without one. False, with `keys` untouched,
// when XKB has no keymap for the layout.
using EvdevKeyVirtualKeys = std::array<uint8_t, 248>;
bool map_evdev_key_events(const KeyboardLayout& layout, EvdevKeyVirtualKeys& keys);

// Says once on standard error that `layout` is unknown and the keys are named as on a US
// layout (the default layout, which the caller maps instead).
void say_layout_unknown(const KeyboardLayout& layout);

}  // namespace tapline::platform
