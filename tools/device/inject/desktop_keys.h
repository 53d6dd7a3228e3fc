// What the device's keys are on a desktop: keyboard usages as the keysyms of a US layout,
// modifier bits as modifier keys, consumer usages as the media and browser keys.
#pragma once

#include <cstdint>

namespace tapline::device {

// Keysym values are X11's (0 = NoSymbol); the desktop side maps them to its keycodes.
using Keysym = uint32_t;

// The keysym of the key a slot value names (ShiftFlag ignored; 0xE0..0xE7 are the
// modifier keys), 0 for usages without a key.
Keysym usage_keysym(uint8_t slot_value);
// The modifier key of bit 0..7 of the modifier byte: Control_L, Shift_L, Alt_L, Super_L,
// Control_R, Shift_R, Alt_R, Super_R.
Keysym modifier_keysym(unsigned bit);
// Volume, mute, media, home, back and menu keys; 0 for other usages.
Keysym consumer_keysym(uint16_t usage);
// The keysym that types a character whatever the layout: Latin-1 keysyms are their code
// points, other characters 0x1000000 + code point; line end, tab, backspace and escape
// are their keys. 0 for other control characters.
Keysym character_keysym(char32_t character);

}  // namespace tapline::device
