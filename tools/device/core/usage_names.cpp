#include "core/usage_names.h"

#include <cstdio>
#include <iterator>
#include <string_view>

#include "command/reports.h"

namespace tapline::device {
namespace {

constexpr std::array<const char*, 8> kModifierNames{"LCtrl", "LShift", "LAlt", "LWIN",
                                                    "RCtrl", "RShift", "RAlt", "RWIN"};
constexpr std::array<const char*, 8> kMouseButtonNames{"left",    "right",   "middle",  "button4",
                                                       "button5", "button6", "button7", "button8"};

// Keyboard/Keypad page usages 0x00..0x7F; nullptr where the device shows the number.
constexpr std::array<const char*, 0x80> kKeyNames = [] {
  std::array<const char*, 0x80> names{};
  constexpr const char* letters[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i",
                                     "j", "k", "l", "m", "n", "o", "p", "q", "r",
                                     "s", "t", "u", "v", "w", "x", "y", "z"};
  for (int i = 0; i < 26; ++i) names[0x04 + i] = letters[i];
  constexpr const char* digits[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0"};
  for (int i = 0; i < 10; ++i) names[0x1E + i] = digits[i];
  constexpr const char* row_0x28[] = {
      "Enter",   "ESC",    "Back",   "Tab",      "Space",   "-",           "=",        "[",
      "]",       "\\",     "NonUS#", ";",        "'",       "`",           ",",        ".",
      "/",       "CapLck", "F1",     "F2",       "F3",      "F4",          "F5",       "F6",
      "F7",      "F8",     "F9",     "F10",      "F11",     "F12",         "PrintScr", "Scroll",
      "Pause",   "Insert", "Home",   "PageUp",   "Delete",  "End",         "PageDn",   "Right",
      "Left",    "Down",   "Up",     "NumLock",  "NumDiv",  "NumMult",     "NumSub",   "NumAdd",
      "D_Enter", "Num1",   "Num2",   "Num3",     "Num4",    "Num5",        "Num6",     "Num7",
      "Num8",    "Num9",   "Num0",   "NumDecim", "NonUS\\", "Application", "Power",    "Num=",
      "F13",     "F14",    "F15",    "F16",      "F17",     "F18",         "F19",      "F20",
      "F21",     "F22",    "F23",    "F24",      "Execute", "Help",        "Menu",     "Select",
      "Stop",    "Again",  "Undo",   "Cut",      "Copy",    "Paste",       "Find",     "Mute"};
  static_assert(std::size(row_0x28) == 0x80 - 0x28);
  for (size_t i = 0; i < std::size(row_0x28); ++i) names[0x28 + i] = row_0x28[i];
  return names;
}();

// The character a key types with Shift on a US layout, for the keys that have one.
char shifted_character(uint8_t usage) {
  if (usage >= 0x04 && usage <= 0x1D) return static_cast<char>('A' + (usage - 0x04));
  constexpr std::string_view kDigitRow = "!@#$%^&*()";
  if (usage >= 0x1E && usage <= 0x27) return kDigitRow[usage - 0x1E];
  switch (usage) {
    case 0x2D:
      return '_';
    case 0x2E:
      return '+';
    case 0x2F:
      return '{';
    case 0x30:
      return '}';
    case 0x31:
      return '|';
    case 0x33:
      return ':';
    case 0x34:
      return '"';
    case 0x35:
      return '~';
    case 0x36:
      return '<';
    case 0x37:
      return '>';
    case 0x38:
      return '?';
    default:
      return '\0';
  }
}

struct ConsumerName {
  uint16_t usage;
  const char* name;
};
constexpr ConsumerName kConsumerNames[] = {
    {0x0030, "power"},
    {0x0032, "sleep"},
    {0x0040, "menu"},
    {0x006F, "brightness up"},
    {0x0070, "brightness down"},
    {0x00B0, "play"},
    {0x00B1, "pause"},
    {0x00B3, "fast forward"},
    {0x00B4, "rewind"},
    {0x00B5, "next track"},
    {0x00B6, "previous track"},
    {0x00B7, "stop"},
    {0x00B8, "eject"},
    {0x00CD, "play/pause"},
    {0x00E2, "mute"},
    {0x00E9, "volume up"},
    {0x00EA, "volume down"},
    {0x0183, "media player"},
    {0x018A, "mail"},
    {0x0192, "calculator"},
    {0x0194, "file browser"},
    {0x0221, "search"},
    {0x0223, "home"},
    {0x0224, "back"},
    {0x0225, "forward"},
    {0x0227, "refresh"},
    {0x022A, "bookmarks"},
};

}  // namespace

bool has_shift_flag(uint8_t slot_value) {
  return (slot_value & kShiftFlag) != 0 &&
         !(slot_value >= kFirstModifierUsage && slot_value <= kLastModifierUsage);
}

KeyLabel key_label(uint8_t slot_value) {
  KeyLabel label;
  char* out = label.text.data();
  const size_t size = label.text.size();
  if (slot_value >= kFirstModifierUsage && slot_value <= kLastModifierUsage) {
    std::snprintf(out, size, "%s", kModifierNames[slot_value - kFirstModifierUsage]);
    return label;
  }
  const uint8_t usage = slot_value & ~kShiftFlag;
  const char* name = kKeyNames[usage];
  if (!has_shift_flag(slot_value)) {
    if (name != nullptr)
      std::snprintf(out, size, "%s", name);
    else
      std::snprintf(out, size, "0x%02x", slot_value);
    return label;
  }
  if (const char shifted = shifted_character(usage); shifted != '\0')
    std::snprintf(out, size, "%c", shifted);
  else if (name != nullptr)
    std::snprintf(out, size, "Shift+%s", name);
  else
    std::snprintf(out, size, "Shift+0x%02x", usage);
  return label;
}

const char* modifier_name(unsigned bit) { return bit < 8 ? kModifierNames[bit] : nullptr; }

const char* led_name(unsigned bit) {
  static constexpr const char* kNames[] = {"NumLock", "CapsLock", "ScrollLock", "Compose", "Kana"};
  return bit < std::size(kNames) ? kNames[bit] : nullptr;
}

const char* mouse_button_name(unsigned bit) { return bit < 8 ? kMouseButtonNames[bit] : nullptr; }

const char* consumer_usage_name(uint16_t usage) {
  for (const ConsumerName& entry : kConsumerNames)
    if (entry.usage == usage) return entry.name;
  return nullptr;
}

const char* system_request_name(uint8_t request) {
  switch (request) {
    case kSystemPowerDown:
      return "power down";
    case kSystemSleep:
      return "sleep";
    default:
      return nullptr;
  }
}

const char* device_command_name(uint8_t command, uint8_t complement) {
  if (static_cast<uint8_t>(~command) != complement) return nullptr;
  switch (command) {
    case kDeviceFirmwareUpdate:
      return "firmware update";
    case kDeviceReboot:
      return "reboot";
    default:
      return nullptr;
  }
}

}  // namespace tapline::device
