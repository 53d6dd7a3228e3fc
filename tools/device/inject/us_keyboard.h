// The keys of a US keyboard (with its keypad and media keys) by evdev keycode: the keymap
// the Wayland injector sends, and the key positions the GNOME injector presses (mutter
// applies the person's layout to them).
#pragma once

#include <cstdint>
#include <span>

#include "inject/desktop_keys.h"

namespace tapline::device {

struct UsKey {
  uint32_t keycode;  // evdev
  Keysym plain;
  Keysym shifted;  // 0: one level
};

// Every key, in the order of the keyboard's rows.
std::span<const UsKey> us_keyboard();

// The key whose plain level has the keysym, else the key whose shifted level has it;
// nullptr when no key has it.
const UsKey* us_key_of(Keysym keysym);

}  // namespace tapline::device
