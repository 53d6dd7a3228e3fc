#include "command/keyboard.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "command/frame.h"
#include "command/host_message.h"
#include "system/clock.h"

namespace tapline {
namespace {

// Names are what users type: kept exactly, misspellings included.
constexpr std::array<SpecialKeyName, 39> kSpecialKeyNames{{
    {"", kNoUsage},       {"Enter", 0x28},       {"ESC", 0x29},         {"Del", 0x4C},
    {"Backspace", 0x2A},  {"Insert", 0x49},      {"Home", 0x4A},        {"End", 0x4D},
    {"Prnsc", 0x46},      {"Power", 0x66},       {"Space", 0x2C},       {"Tab", 0x2B},
    {"PgUp", 0x4B},       {"PgDn", 0x4E},        {"Left", 0x50},        {"Right", 0x4F},
    {"Up", 0x52},         {"Down", 0x51},        {"Caps", 0x39},        {"D_Enter", 0x58},
    {"D_+", 0x57},        {"D_-", 0x56},         {"D_.", 0x63},         {"NUMLOCK", 0x53},
    {"SCROOLLOCK", 0x47}, {"XXXXX_1", kNoUsage}, {"XXXXX_2", kNoUsage}, {"F1", 0x3A},
    {"F2", 0x3B},         {"F3", 0x3C},          {"F4", 0x3D},          {"F5", 0x3E},
    {"F6", 0x3F},         {"F7", 0x40},          {"F8", 0x41},          {"F9", 0x42},
    {"F10", 0x43},        {"F11", 0x44},         {"F12", 0x45},
}};

constexpr std::array<KeyTableRow, 60> kKeyTable{{
    {"ESC", 0x29, 0x1B, false},    {"F1", 0x3A, 0x70, false},       {"F2", 0x3B, 0x71, false},
    {"F3", 0x3C, 0x72, false},     {"F4", 0x3D, 0x73, false},       {"F5", 0x3E, 0x74, false},
    {"F6", 0x3F, 0x75, false},     {"F7", 0x40, 0x76, false},       {"F8", 0x41, 0x77, false},
    {"F9", 0x42, 0x78, false},     {"F10", 0x43, 0x79, false},      {"F11", 0x44, 0x7A, false},
    {"F12", 0x45, 0x7B, false},    {"Esc", 0x29, 0x1B, false},      {"Back", 0x2A, 0x08, false},
    {"Tab", 0x2B, 0x09, false},    {"CapLck", 0x39, 0x14, false},   {"Enter", 0x28, 0x0D, false},
    {"Space", 0x2C, 0x20, false},  {"Scroll", 0x47, 0x91, false},   {"Pause", 0x48, 0x13, false},
    {"Insert", 0x49, 0x2D, false}, {"PrintScr", 0x46, 0x2C, false}, {"Delete", 0x4C, 0x2E, false},
    {"Home", 0x4A, 0x24, false},   {"End", 0x4D, 0x23, false},      {"PageUp", 0x4B, 0x21, false},
    {"PageDn", 0x4E, 0x22, false}, {"Left", 0x50, 0x25, false},     {"Up", 0x52, 0x26, false},
    {"Right", 0x4F, 0x27, false},  {"Down", 0x51, 0x28, false},     {"Num0", 0x62, 0x60, false},
    {"Num1", 0x59, 0x61, false},   {"Num2", 0x5A, 0x62, false},     {"Num3", 0x5B, 0x63, false},
    {"Num4", 0x5C, 0x64, false},   {"Num5", 0x5D, 0x65, false},     {"Num6", 0x5E, 0x66, false},
    {"Num7", 0x5F, 0x67, false},   {"Num8", 0x60, 0x68, false},     {"Num9", 0x61, 0x69, false},
    {"NumAdd", 0x57, 0x6B, false}, {"NumSub", 0x56, 0x6D, false},   {"NumMult", 0x55, 0x6A, false},
    {"NumDiv", 0x54, 0x6F, false}, {"NumDecim", 0x63, 0x6E, false}, {"NumLock", 0x53, 0x90, false},
    {"Ctrl", 0x01, 0x11, true},    {"LCtrl", 0x01, 0xA2, true},     {"RCtrl", 0x10, 0xA3, true},
    {"Shift", 0x02, 0x10, true},   {"LShift", 0x02, 0xA0, true},    {"RShift", 0x20, 0xA1, true},
    {"Alt", 0x04, 0x12, true},     {"LAlt", 0x04, 0xA4, true},      {"RAlt", 0x40, 0xA5, true},
    {"WIN", 0x08, 0x5B, true},     {"LWIN", 0x08, 0x5B, true},      {"RWIN", 0x80, 0x5C, true},
}};

KeyboardReport held;

// Upper-casing of the system's single-byte text: only ASCII letters change, so the bytes
// of multi-byte characters stay as they are.
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_upper(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

}  // namespace

std::string_view trim_blanks(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

namespace {

const KeyTableRow* find_key_row(const char* name) {
  if (name == nullptr) return nullptr;
  const std::string_view wanted = trim_blanks(name);
  for (const KeyTableRow& row : kKeyTable)
    if (equal_upper(wanted, row.name)) return &row;
  return nullptr;
}

KeyboardReport key_report(uint8_t modifiers, uint8_t usage) {
  return KeyboardFields{modifiers, {usage}}.bytes();
}

int send_all_keys_up() { return send_keyboard(KeyboardReport{}); }

}  // namespace

std::span<const SpecialKeyName> special_key_names() { return kSpecialKeyNames; }
std::span<const KeyTableRow> key_table() { return kKeyTable; }

uint8_t char_to_usage(char c) {
  const char u = upper(c);
  if (u >= 'A' && u <= 'Z') return static_cast<uint8_t>(u - 0x3D);
  if (u >= '1' && u <= '9') return static_cast<uint8_t>(u - 0x13);
  switch (u) {
    case '\n':
      return 0x28;
    case ' ':
      return 0x2C;
    case '!':
      return 0x9E;
    case '"':
      return 0xB4;
    case '#':
      return 0xA0;
    case '$':
      return 0xA1;
    case '%':
      return 0xA2;
    case '&':
      return 0xA4;
    case '\'':
      return 0x34;
    case '(':
      return 0xA6;
    case ')':
      return 0xA7;
    case '*':
      return 0xA5;
    case '+':
      return 0xAE;
    case ',':
      return 0x36;
    case '-':
      return 0x2D;
    case '.':
      return 0x37;
    case '/':
      return 0x38;
    case '0':
      return 0x27;
    case ':':
      return 0xB3;
    case ';':
      return 0x33;
    case '<':
      return 0xB6;
    case '=':
      return 0x2E;
    case '>':
      return 0xB7;
    case '?':
      return 0xB8;
    case '@':
      return 0x9F;
    case '[':
      return 0x2F;
    case '\\':
      return 0x31;
    case ']':
      return 0x30;
    case '^':
      return 0xA3;
    case '_':
      return 0xAD;
    case '`':
      return 0x35;
    case '{':
      return 0xAF;
    case '|':
      return 0xB1;
    case '}':
      return 0xB0;
    default:
      return kNoUsage;
  }
}

uint8_t special_key_usage(const char* name) {
  if (name == nullptr) return kNoUsage;
  for (const SpecialKeyName& row : kSpecialKeyNames)
    if (equal_upper(name, row.name)) return row.usage;
  return kNoUsage;
}

bool lookup_key(const char* name, uint8_t& modifier, uint8_t& usage) {
  const KeyTableRow* row = find_key_row(name);
  if (row == nullptr) return false;
  (row->modifier ? modifier : usage) = row->code;
  return true;
}

int key_name_to_vk(const char* name) {
  if (name == nullptr) return 0;
  const std::string_view trimmed = trim_blanks(name);
  if (trimmed.size() == 1) return static_cast<unsigned char>(upper(trimmed[0]));
  const KeyTableRow* row = find_key_row(name);
  return row != nullptr ? row->virtual_key : 0;
}

KeyName read_key_name(const char* name, uint8_t& modifier, uint8_t& usage) {
  if (trim_blanks(name).empty()) return KeyName::Blank;
  if (std::strlen(name) == 1) {
    usage = char_to_usage(name[0]);
    return KeyName::Character;
  }
  return lookup_key(name, modifier, usage) ? KeyName::Table : KeyName::Unknown;
}

int press_held_key(KeyboardReport& keys, uint8_t modifier, uint8_t usage) {
  keys[KeyboardFields::kModifiers] |= modifier;
  if (usage != 0 && usage != kNoUsage) {
    const auto slots = std::span(keys).subspan(KeyboardFields::kFirstKeySlot);
    const auto empty = std::find(slots.begin(), slots.end(), 0);
    if (empty != slots.end()) *empty = usage;
  }
  return send_keyboard(keys);
}

int release_held_key(KeyboardReport& keys, uint8_t modifier, uint8_t usage) {
  keys[KeyboardFields::kModifiers] &= static_cast<uint8_t>(~modifier);
  const auto slots = std::span(keys).subspan(KeyboardFields::kFirstKeySlot);
  std::replace(slots.begin(), slots.end(), usage, uint8_t{0});
  return send_keyboard(keys);
}

const KeyboardReport& held_keys() { return held; }

int send_keyboard(const KeyboardReport& report) {
  return send_report(ReportType::Keyboard, report.data(), report.size());
}

}  // namespace tapline

using namespace tapline;

extern "C" {

int kb(const uint8_t* report) {
  const system::CommandLock lock;
  if (report == nullptr) return 0;  // a host's missing report: nothing to send
  return send_report(ReportType::Keyboard, report, report_length(ReportType::Keyboard));
}

int kb_release(void) {
  const system::CommandLock lock;
  return send_all_keys_up();
}

int key_hid(int usage) {
  const system::CommandLock lock;
  send_keyboard(key_report(0, static_cast<uint8_t>(usage)));
  return send_all_keys_up();
}

void key(const char* name, int modifiers, int release) {
  const system::CommandLock lock;
  if (name == nullptr) return;
  const auto modifier_bits = static_cast<uint8_t>(modifiers);
  const bool lift = static_cast<uint8_t>(release) != 0;
  if (name[0] == '\0' && modifier_bits != 0) {
    send_keyboard(key_report(modifier_bits, 0));
    if (lift) send_all_keys_up();
    return;
  }
  const uint8_t special = special_key_usage(name);
  if (special != kNoUsage) {
    send_keyboard(key_report(modifier_bits, special));
    if (lift) send_all_keys_up();
    return;
  }
  for (const char* c = name; *c != '\0'; ++c) {
    const uint8_t usage = char_to_usage(*c);
    if (usage == kNoUsage) continue;
    send_keyboard(key_report(modifier_bits, usage));
    if (lift) send_all_keys_up();
    system::sleep_ms(kKeyCharacterPauseMs);
  }
}

void key_action(const char* name, int action) {
  const system::CommandLock lock;
  if (name == nullptr) return;
  uint8_t modifier = 0;
  uint8_t usage = 0;
  switch (read_key_name(name, modifier, usage)) {
    case KeyName::Blank:
      held = KeyboardReport{};
      break;
    case KeyName::Unknown:
      host_printf("查不到此键%s 请确认输入是否有误", name);
      return;
    case KeyName::Character:
    case KeyName::Table:
      break;
  }
  const auto what = static_cast<uint8_t>(action);
  if (what == 0 || what == 2) press_held_key(held, modifier, usage);
  if (what == 1 || what == 2) release_held_key(held, modifier, usage);
}

}  // extern "C"
