// Keyboard reports and the key vocabularies: special key names of `key`, the key table of
// `key_action` (which also gives virtual-key codes), and the character-to-usage map.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "command/reports.h"
#include "tapline.h"

namespace tapline {

// A usage that stands for "no key": unknown name, untypeable character.
inline constexpr uint8_t kNoUsage = 0xFF;
// Pause after each character that `key` types.
inline constexpr int kKeyCharacterPauseMs = 30;

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

// Spaces and control characters (codes up to 0x20) go from both ends: how key names and
// the parameters of text commands are trimmed.
std::string_view trim_blanks(std::string_view text);

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

// How a key name of key_action or of the text command "key" reads.
enum class KeyName : uint8_t {
  Blank,      // empty once blanks and control characters are trimmed
  Character,  // one character (untrimmed): `usage` is its char_to_usage value
  Table,      // a KeyTable row: sets `modifier` or `usage`, as lookup_key
  Unknown,    // none of these: nothing is set
};
KeyName read_key_name(const char* name, uint8_t& modifier, uint8_t& usage);

// The press and release steps of key_action, on a report of held keys (HeldKeys, or the
// text interpreter's own). A press ORs the modifier bit in and puts the usage (unless 0
// or kNoUsage) into the first empty key slot, if any; a release clears the bit and every
// slot holding the usage. Each then sends a copy of the report: the result of makeHid.
int press_held_key(KeyboardReport& keys, uint8_t modifier, uint8_t usage);
int release_held_key(KeyboardReport& keys, uint8_t modifier, uint8_t usage);

// The keys that key_action has pressed and not released (process-wide).
const KeyboardReport& held_keys();

// Sends one keyboard report; the result of makeHid.
int send_keyboard(const KeyboardReport& report);

}  // namespace tapline
