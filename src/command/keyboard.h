// Keyboard reports and the key vocabularies: special key names of `key`, the key table of
// `key_action` (which also gives virtual-key codes), and the character-to-usage map.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tapline.h"

namespace tapline {

inline constexpr size_t kKeyboardReportSize = 8;
// Modifier byte, reserved byte, six key slots.
using KeyboardReport = std::array<uint8_t, kKeyboardReportSize>;
inline constexpr size_t kFirstKeySlot = 2;

// A usage that stands for "no key": unknown name, untypeable character.
inline constexpr uint8_t kNoUsage = 0xFF;
// Bit 7 of a usage from char_to_usage: the key of the low seven bits typed with Shift.
inline constexpr uint8_t kShiftFlag = 0x80;
// Pause after each character that `key` types.
inline constexpr int kKeyCharacterPauseMs = 30;

inline constexpr uint8_t kModifierLeftCtrl = 0x01;
inline constexpr uint8_t kModifierLeftShift = 0x02;
inline constexpr uint8_t kModifierLeftAlt = 0x04;

struct SpecialKeyName {
  const char* name;
  uint8_t usage;  // kNoUsage: recognised, but typed as characters
};

struct KeyTableRow {
  const char* name;
  uint8_t code;  // usage, or the modifier bit on modifier rows
  uint8_t virtual_key;
  bool modifier;
};

// The 39 names of `key` and the 60 rows of `key_action`, in their order.
std::span<const SpecialKeyName> special_key_names();
std::span<const KeyTableRow> key_table();

// One byte of locale text to a usage (ShiftFlag included), or kNoUsage.
uint8_t char_to_usage(char c);
// Usage of the special key name (case-insensitive, not trimmed), or kNoUsage.
uint8_t special_key_usage(const char* name);
// The first KeyTable row matching the name (case-insensitive, trimmed of blanks and
// control characters): a modifier row sets `modifier`, any other row sets `usage`; the
// other output is left alone. False for an absent or unknown name.
bool lookup_key(const char* name, uint8_t& modifier, uint8_t& usage);
// Windows virtual-key code of a key name: a single character gives its upper-cased code,
// a longer name the code of its KeyTable row; 0 when absent or unknown.
int key_name_to_vk(const char* name);

// The keys that key_action has pressed and not released (process-wide).
const KeyboardReport& held_keys();

// Sends one keyboard report; the result of makeHid.
int send_keyboard(const KeyboardReport& report);

}  // namespace tapline
