#include "command/interpreter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "command/frame.h"
#include "command/keyboard.h"
#include "command/pointer.h"
#include "command/touch.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace tapline {
namespace {

constexpr uint8_t kCommaUsage = 0x36;
constexpr size_t kCmdMouseSize = 8;
constexpr size_t kMaxHexNumberDigits = 8;
constexpr int kKeyTapPauseMs = 1;
constexpr int kTouchClickHoldMs = 10;
constexpr int kTouchLongClickHoldMs = 1000;
constexpr int kTouchDoubleClickHoldMs = 50;
constexpr int kTouchDoubleClickGapMs = 250;

// The interpreter's own device state, apart from the keys that key_action holds.
KeyboardReport cmd_keys;
std::array<uint8_t, kCmdMouseSize> cmd_mouse;  // buttons, wheel, x, y, then "hid" bytes
uint16_t cmd_consumer = 0;

struct NamedConsumerKey {
  const char* word;
  uint16_t usage;
};

// Tried in this order after "value", "powerdown" and "powersleep".
constexpr std::array<NamedConsumerKey, 10> kConsumerWords{{
    {"androidhome", 0x0223},
    {"androidback", 0x0224},
    {"androidmenu", 0x0040},
    {"volup", 0x00E9},
    {"voldown", 0x00EA},
    {"mute", 0x00E2},
    {"next", 0x00B5},
    {"pre", 0x00B6},
    {"play", 0x00CD},
    {"stop", 0x02B7},
}};

// One command split into its word and its parameters, which point into the private copy.
class Command {
 public:
  std::string_view word;
  size_t count = 0;
  bool has_double_comma = false;

  // The n-th parameter (0 is the sub-word), or nullptr when the text gives none.
  const char* param(size_t n) const { return n < count ? params_[n] : nullptr; }
  bool sub_word(const char* part) const { return std::strstr(params_[0], part) != nullptr; }
  bool add(const char* parameter) {
    if (count == params_.size()) return false;
    params_[count++] = parameter;
    return true;
  }

 private:
  std::array<const char*, kMaxCommandParameters> params_{};
};

bool is_blank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

// Splits `text` (the private copy) in place. False when the text is no command.
bool split_command(std::string& text, Command& command) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon > kMaxCommandWordLength) return false;
  command.word = std::string_view(text.data(), colon);
  command.has_double_comma = text.find(",,") != std::string::npos;
  char* cursor = text.data() + colon + 1;
  char* const end = text.data() + text.size();
  while (cursor < end) {
    char* piece_end = std::find(cursor, end, ',');
    if (piece_end > cursor) {
      *piece_end = '\0';
      char* first = cursor;
      while (first < piece_end && is_blank(*first)) ++first;
      char* last = piece_end;
      while (last > first && is_blank(last[-1])) --last;
      *last = '\0';
      if (!command.add(first)) return false;  // more parameters than a command has
    }
    cursor = piece_end + 1;
  }
  return command.count > 0;
}

// Signed decimal: leading blanks and a sign, digits up to the first other character; the
// low 32 bits of the value.
int read_number(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<uint32_t>(*text - '0');
  return static_cast<int>(negative ? 0u - value : value);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int send_cmd_keys() { return send_keyboard(cmd_keys); }
int send_cmd_mouse() {
  return send_report(ReportType::Mouse, cmd_mouse.data(), kPointerReportSize);
}

void release_cmd_consumer() {
  platform::sleep_ms(kConsumerPauseMs);
  cmd_consumer = 0;
  send_consumer_report(cmd_consumer);
}

int run_key(const Command& command) {
  if (command.count < 2 && !command.has_double_comma) return 0;
  const char* name = command.param(1);
  const bool pressing = command.sub_word("press") || command.sub_word("down");
  uint8_t modifier = 0;
  uint8_t usage = 0;
  if (pressing || command.sub_word("up")) {
    if (name == nullptr) {
      usage = kCommaUsage;  // "key:press,," names the comma itself
    } else if (name[0] == '\0') {
      cmd_keys = KeyboardReport{};
    } else if (name[1] == '\0') {
      usage = char_to_usage(name[0]);
      console_printf("%s hidcode:%x\n", name, static_cast<unsigned>(usage));
    } else if (!lookup_key(name, modifier, usage)) {
      console_printf("查不到此键%s 请确认输入是否有误", name);
      return 0;
    }
  }
  if (pressing) {
    cmd_keys[0] |= modifier;
    if (usage != 0 && usage != kNoUsage) {
      auto slot = std::find(cmd_keys.begin() + kFirstKeySlot, cmd_keys.end(), 0);
      if (slot != cmd_keys.end()) *slot = usage;
    }
    send_cmd_keys();
  }
  if (command.sub_word("up") || command.sub_word("press")) {
    cmd_keys[0] &= static_cast<uint8_t>(~modifier);
    std::replace(cmd_keys.begin() + kFirstKeySlot, cmd_keys.end(), usage, uint8_t{0});
    send_cmd_keys();
  } else if (command.sub_word("release")) {
    cmd_keys = KeyboardReport{};
    send_cmd_keys();
  } else if (command.sub_word("hid")) {
    if (name == nullptr) return 0;
    KeyboardReport report{};
    const int written = parse_hex_bytes(name, report.data(), report.size());
    if (written < 0) return 0;
    if (written != static_cast<int>(report.size())) {
      cmd_keys = KeyboardReport{};
      return 1;
    }
    cmd_keys = report;
    send_cmd_keys();
    if (command.count >= 3) {
      cmd_keys = KeyboardReport{};
      platform::sleep_ms(kKeyTapPauseMs);
      send_cmd_keys();
    }
  } else if (command.sub_word("gbkstring")) {
    if (name == nullptr) return 0;
    key_gbkstring(name);
  } else if (command.sub_word("string")) {
    if (name == nullptr) return 0;
    key_string(name);
  }
  return 1;
}

int set_mouse_button(uint8_t button, bool down) {
  cmd_mouse[0] = down ? (cmd_mouse[0] | button) : (cmd_mouse[0] & ~button);
  return send_cmd_mouse();
}

int run_mouse(const Command& command) {
  const char* first = command.param(1);
  const char* second = command.param(2);
  if (command.sub_word("leftclick")) {
    left_click();
  } else if (command.sub_word("leftdown")) {
    set_mouse_button(kMouseLeft, true);
  } else if (command.sub_word("leftup")) {
    set_mouse_button(kMouseLeft, false);
  } else if (command.sub_word("rightclick")) {
    right_click();
  } else if (command.sub_word("rightdown")) {
    set_mouse_button(kMouseRight, true);
  } else if (command.sub_word("rightup")) {
    set_mouse_button(kMouseRight, false);
  }
  if (command.sub_word("middleclick")) middle_click();
  if (command.sub_word("middledown")) set_mouse_button(kMouseMiddle, true);
  if (command.sub_word("middleup")) {
    set_mouse_button(kMouseMiddle, false);
  } else if (command.sub_word("wheel")) {
    if (first == nullptr) return 0;
    cmd_mouse[1] = static_cast<uint8_t>(read_number(first));
    send_cmd_mouse();
    cmd_mouse[1] = 0;
  } else if (command.sub_word("absmove")) {
    if (first == nullptr || second == nullptr) return 0;
    absmove(read_number(first), read_number(second));
  } else if (command.sub_word("move")) {
    if (first == nullptr || second == nullptr) return 0;
    cmd_mouse[2] = static_cast<uint8_t>(read_number(first));
    cmd_mouse[3] = static_cast<uint8_t>(read_number(second));
    send_cmd_mouse();
    cmd_mouse[2] = cmd_mouse[3] = 0;
  } else if (command.sub_word("hid")) {
    if (first == nullptr) return 0;
    std::array<uint8_t, kCmdMouseSize> bytes{};
    const int written = parse_hex_bytes(first, bytes.data(), bytes.size());
    if (written < 0) return 0;
    std::copy_n(bytes.begin(), written, cmd_mouse.begin());
    if (written > 0) send_cmd_mouse();
  }
  return 1;
}

int run_consumer(const Command& command) {
  if (command.sub_word("value")) {
    const char* number = command.param(1);
    if (number == nullptr) return 0;
    uint32_t value = 0;
    if (number[0] == '0' && (number[1] == 'x' || number[1] == 'X')) {
      if (!parse_hex_number(number, value)) return 0;
    } else {
      value = static_cast<uint32_t>(read_number(number));
    }
    cmd_consumer = static_cast<uint16_t>(value);
    send_consumer_report(cmd_consumer);
    release_cmd_consumer();
    return 1;
  }
  // The power requests take no release and answer 0.
  if (command.sub_word("powerdown") || command.sub_word("powersleep")) {
    const uint8_t request = command.sub_word("powerdown") ? kSystemPowerDown : kSystemSleep;
    cmd_consumer = static_cast<uint16_t>((cmd_consumer & 0xFF00) | request);
    std::array<uint8_t, kPointerReportSize> report{static_cast<uint8_t>(cmd_consumer),
                                                   static_cast<uint8_t>(cmd_consumer >> 8)};
    send_report(ReportType::SystemControl, report.data(), report.size());
    return 0;
  }
  for (const NamedConsumerKey& named : kConsumerWords) {
    if (command.sub_word(named.word)) {
      cmd_consumer = named.usage;
      send_consumer_report(cmd_consumer);
      break;
    }
  }
  release_cmd_consumer();
  return 1;
}

int run_joy(const Command& command) {
  if (command.count == 1) {
    joy(read_number(command.param(0)), 0, 0, 0, 0);
  } else if (command.count == 4 || command.count == 5) {
    joy(read_number(command.param(0)), read_number(command.param(1)), read_number(command.param(2)),
        read_number(command.param(3)), read_number(command.param(4)));
  }
  return 1;
}

void touch_lift() { touch_release(0); }

int run_touch(const Command& command) {
  const TouchArea area = touch_area();
  const int half_width = area.width / 2;
  const int half_height = area.height / 2;
  auto number = [&command](size_t n) { return read_number(command.param(n)); };
  const bool has_point = command.count >= 3;
  if (command.sub_word("longclick")) {
    if (!has_point) return 0;
    touch(1, 0, number(1), number(2));
    platform::sleep_ms(kTouchLongClickHoldMs);
    touch_lift();
  } else if (command.sub_word("dbclick")) {
    if (!has_point) return 0;
    for (int tap = 0; tap < 2; ++tap) {
      if (tap > 0) platform::sleep_ms(kTouchDoubleClickGapMs);
      touch(1, 0, number(1), number(2));
      platform::sleep_ms(kTouchDoubleClickHoldMs);
      touch_lift();
    }
  } else if (command.sub_word("click")) {
    if (!has_point) return 0;
    touch(1, 0, number(1), number(2));
    platform::sleep_ms(kTouchClickHoldMs);
    touch_lift();
  } else if (command.sub_word("slideleft")) {
    touch_slide(area.width - 200, half_height, 100, half_height, kDefaultSlideDelayMs);
  } else if (command.sub_word("slideright")) {
    touch_slide(200, half_height, area.width - 100, half_height, kDefaultSlideDelayMs);
  } else if (command.sub_word("slideup")) {
    touch_slide(half_width, area.height - 400, half_width, 400, kDefaultSlideDelayMs);
  } else if (command.sub_word("slidedown")) {
    touch_slide(half_width, 500, half_width, area.height - 400, kDefaultSlideDelayMs);
  } else if (command.sub_word("slide")) {
    if (command.count < 5) return 0;
    const int delay = command.count >= 6 ? number(5) : kDefaultSlideDelayMs;
    touch_slide(number(1), number(2), number(3), number(4), delay);
  } else if (command.sub_word("set")) {
    if (command.count < 3) return 0;
    if (!set_touch_area(number(1), number(2))) return 0;
  } else if (command.sub_word("down")) {
    if (command.count < 3) return 0;
    if (command.count == 3) touch(1, 0, number(1), number(2));
    if (command.count == 4) touch(1, number(1), number(2), number(3));
  } else if (command.sub_word("up") || command.sub_word("release")) {
    touch_release(command.count >= 2 ? number(1) : 0);
  }
  return 1;
}

}  // namespace

int parse_hex_bytes(std::string_view text, uint8_t* destination, size_t capacity) {
  if (text.size() % 2 != 0 || text.size() / 2 > capacity) return -1;
  for (char c : text)
    if (hex_digit(c) < 0) return -1;
  for (size_t i = 0; i < text.size(); i += 2)
    destination[i / 2] = static_cast<uint8_t>(hex_digit(text[i]) << 4 | hex_digit(text[i + 1]));
  return static_cast<int>(text.size() / 2);
}

bool parse_hex_number(std::string_view text, uint32_t& value) {
  if (!text.empty() && text.front() == '0') text.remove_prefix(1);
  if (!text.empty() && (text.front() == 'x' || text.front() == 'X')) text.remove_prefix(1);
  if (text.size() > kMaxHexNumberDigits) return false;
  uint32_t result = 0;
  for (char c : text) {
    const int digit = hex_digit(c);
    if (digit < 0) return false;
    result = result << 4 | static_cast<uint32_t>(digit);
  }
  value = result;
  return true;
}

}  // namespace tapline

using namespace tapline;

extern "C" int quill5_cmd(const char* command_text) {
  const CommandLock lock;
  if (command_text == nullptr) return 0;
  std::string text(command_text);
  Command command;
  if (!split_command(text, command)) return 0;
  if (command.word == "key") return run_key(command);
  if (command.word == "mouse") return run_mouse(command);
  if (command.word == "consumer") return run_consumer(command);
  if (command.word == "joy") return run_joy(command);
  if (command.word == "touch") return run_touch(command);
  return 1;
}
