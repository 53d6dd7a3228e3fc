// Windows virtual-key codes and the keysyms of the keys that carry them: one table for
// every backend that names keys by keysym (X11, and XKB keymaps over evdev).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tapline::platform {

// Keysym values are X11's, which XKB shares (0 = no symbol).
using Keysym = uint32_t;

// The virtual-key code of a key that carries `keysym`; 0 when none. Shift, Ctrl and Alt
// give their side's code (0xA0 to 0xA5), as a key event names the key itself.
int virtual_key_of_keysym(Keysym keysym);

// The key codes (keyboard-specific numbers) of each virtual key's keys, up to four each.
struct KeyCodes {
  std::array<uint16_t, 4> codes{};
  uint8_t count = 0;
};
using VirtualKeyCodes = std::array<KeyCodes, 256>;

// Adds key `code`, whose levels carry `keysyms`, to every virtual key that one of them
// names: a generic modifier (Shift, Ctrl, Alt) gets both its keys, both Enter keys are
// Return, and a key is found whichever of its levels (KP_1 beside KP_End) the table names.
void add_key_code(VirtualKeyCodes& table, uint16_t code, std::span<const Keysym> keysyms);

}  // namespace tapline::platform
