// Names the device shows for what it receives: keys, modifiers, buttons, consumer keys,
// power requests and device commands. Key names are the ones users type where such a
// name exists ("Enter", "PageUp", "Num5", "LShift", "a", "!").
#pragma once

#include <array>
#include <cstdint>

namespace tapline::device {

// A key slot value never has ShiftFlag when it is a modifier key (0xE0..0xE7); any other
// value with bit 7 set stands for the key of its low seven bits typed with Shift.
bool has_shift_flag(uint8_t slot_value);

// The name of a keyboard slot value: the key's name, the shifted character for ShiftFlag
// values that type one ("!" for 0x9E), "Shift+<key>" for other ShiftFlag values, and the
// value in hexadecimal ("0x03") for usages without a name.
struct KeyLabel {
  std::array<char, 24> text{};
  const char* c_str() const { return text.data(); }
};
KeyLabel key_label(uint8_t slot_value);

// "LCtrl", "LShift", "LAlt", "LWIN", "RCtrl", "RShift", "RAlt", "RWIN" for bits 0..7.
const char* modifier_name(unsigned bit);
// "NumLock", "CapsLock", "ScrollLock", "Compose", "Kana" for the lock lights' bits 0..4.
const char* led_name(unsigned bit);
// "left", "right", "middle", then "button4".."button8" for bits 0..7.
const char* mouse_button_name(unsigned bit);
// "volume up" and the like; nullptr for usages without a name (and for 0, no key).
const char* consumer_usage_name(uint16_t usage);
// "power down" (1), "sleep" (2); nullptr otherwise.
const char* system_request_name(uint8_t request);
// "firmware update" (0xF3), "reboot" (0xF1) when the complement byte matches; nullptr
// otherwise.
const char* device_command_name(uint8_t command, uint8_t complement);

}  // namespace tapline::device
