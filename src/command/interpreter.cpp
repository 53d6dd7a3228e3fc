#include "command/interpreter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "command/frame.h"
#include "command/keyboard.h"
#include "command/pointer.h"
#include "command/touch.h"
#include "system/clock.h"
#include "system/console.h"

namespace tapline {
namespace {

constexpr size_t kCmdMouseSize = 8;
constexpr size_t kMaxHexNumberDigits = 8;
constexpr int kKeyTapPauseMs = 1;
constexpr int kTouchDoubleClickHoldMs = 50;

// The interpreter's own device state, apart from the keys that key_action holds.
KeyboardReport cmd_keys;
std::array<uint8_t, kCmdMouseSize> cmd_mouse;  // a mouse report, then bytes only "hid" fills

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
      // Trimmed as key names are.
      const std::string_view piece = trim_blanks(std::string_view(cursor, piece_end - cursor));
      char* const first = cursor + (piece.data() - cursor);
      first[piece.size()] = '\0';
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
  return send_report(ReportType::Mouse, cmd_mouse.data(), report_length(ReportType::Mouse));
}

// A table of sub-words, tried in its order. The first parameter selects a row when it
// contains the row's word, so the order is part of the language: "dbclick" must come
// before "click", "next" before "play" (for "playnext").
using Action = int (*)(const Command&);
struct SubWord {
  const char* word;
  Action run;
};

// The first row whose word the command's sub-word contains, or nullptr.
template <typename Row, size_t N>
const Row* first_match(const std::array<Row, N>& rows, const Command& command) {
  for (const Row& row : rows)
    if (command.sub_word(row.word)) return &row;
  return nullptr;
}

// ---- key ----

// Eight report bytes as written (the reserved byte too) become the held keys; with a
// third parameter they are tapped, unlike key_hid: 1 ms, then all keys up.
int keys_from_hex(const Command& command) {
  const char* bytes = command.param(1);
  if (bytes == nullptr) return 0;
  KeyboardReport report{};
  const int written = parse_hex_bytes(bytes, report.data(), report.size());
  if (written < 0) return 0;
  if (written != static_cast<int>(report.size())) {
    cmd_keys = KeyboardReport{};
    return 1;
  }
  cmd_keys = report;
  send_cmd_keys();
  if (command.count >= 3) {
    cmd_keys = KeyboardReport{};
    system::sleep_ms(kKeyTapPauseMs);
    send_cmd_keys();
  }
  return 1;
}

int type_text(const Command& command, void (*type)(const char*)) {
  const char* text = command.param(1);
  if (text == nullptr) return 0;
  type(text);
  return 1;
}

enum class KeyStep : uint8_t { ReleaseKey, ReleaseAll, Hid, GbkString, String };
struct KeyWord {
  const char* word;
  KeyStep step;
};
// After the press of "press" and "down" (if any), the first of these.
constexpr std::array<KeyWord, 6> kKeyWords{{
    {"up", KeyStep::ReleaseKey},
    {"press", KeyStep::ReleaseKey},
    {"release", KeyStep::ReleaseAll},
    {"hid", KeyStep::Hid},
    {"gbkstring", KeyStep::GbkString},
    {"string", KeyStep::String},
}};

// The text command "key" works on its own held keys with key_action's steps. Its
// differences: the key is read only for "press", "down" and "up"; a missing name (the
// text "key:press,,") is the comma key; a single character prints its usage; an unknown
// name is reported on standard output, not to the host window, and answers 0.
int run_key(const Command& command) {
  if (command.count < 2 && !command.has_double_comma) return 0;
  const bool pressing = command.sub_word("press") || command.sub_word("down");
  uint8_t modifier = 0;
  uint8_t usage = 0;
  if (pressing || command.sub_word("up")) {
    const char* name = command.param(1);
    if (name == nullptr) {
      usage = char_to_usage(',');  // "key:press,," names the comma itself
    } else {
      switch (read_key_name(name, modifier, usage)) {
        case KeyName::Blank:
          cmd_keys = KeyboardReport{};
          break;
        case KeyName::Character:
          system::console_printf("%s hidcode:%x\n", name, static_cast<unsigned>(usage));
          break;
        case KeyName::Unknown:
          system::console_printf("查不到此键%s 请确认输入是否有误", name);
          return 0;
        case KeyName::Table:
          break;
      }
    }
  }
  if (pressing) press_held_key(cmd_keys, modifier, usage);
  const KeyWord* word = first_match(kKeyWords, command);
  if (word == nullptr) return 1;
  switch (word->step) {
    case KeyStep::ReleaseKey:
      release_held_key(cmd_keys, modifier, usage);
      return 1;
    case KeyStep::ReleaseAll:
      cmd_keys = KeyboardReport{};
      send_cmd_keys();
      return 1;
    case KeyStep::Hid:
      return keys_from_hex(command);
    case KeyStep::GbkString:
      return type_text(command, key_gbkstring);
    case KeyStep::String:
      return type_text(command, [](const char* text) { key_string(text); });
  }
  return 1;
}

// ---- mouse ----

// Buttons pressed and released here stay in the interpreter's own mouse report, so that
// a later "move" drags; the clicks are the exports' and leave that report alone.
template <uint8_t Button, bool Down>
int set_mouse_button(const Command&) {
  uint8_t& buttons = cmd_mouse[MouseFields::kButtons];
  buttons = Down ? (buttons | Button) : (buttons & ~Button);
  return send_cmd_mouse();
}

template <int (*Click)()>
int click(const Command&) {
  Click();
  return 1;
}

int mouse_wheel(const Command& command) {
  const char* amount = command.param(1);
  if (amount == nullptr) return 0;
  cmd_mouse[MouseFields::kWheel] = static_cast<uint8_t>(read_number(amount));
  send_cmd_mouse();
  cmd_mouse[MouseFields::kWheel] = 0;
  return 1;
}

int mouse_absmove(const Command& command) {
  if (command.param(1) == nullptr || command.param(2) == nullptr) return 0;
  absmove(read_number(command.param(1)), read_number(command.param(2)));
  return 1;
}

int mouse_move(const Command& command) {
  if (command.param(1) == nullptr || command.param(2) == nullptr) return 0;
  cmd_mouse[MouseFields::kX] = static_cast<uint8_t>(read_number(command.param(1)));
  cmd_mouse[MouseFields::kY] = static_cast<uint8_t>(read_number(command.param(2)));
  send_cmd_mouse();
  cmd_mouse[MouseFields::kX] = cmd_mouse[MouseFields::kY] = 0;
  return 1;
}

int mouse_hid(const Command& command) {
  const char* text = command.param(1);
  if (text == nullptr) return 0;
  std::array<uint8_t, kCmdMouseSize> bytes{};
  const int written = parse_hex_bytes(text, bytes.data(), bytes.size());
  if (written < 0) return 0;
  std::copy_n(bytes.begin(), written, cmd_mouse.begin());
  if (written > 0) send_cmd_mouse();
  return 1;
}

// The mouse words go in three groups: the first match of the left and right button
// words, then each middle-button word that matches, then the first match of the rest.
constexpr std::array<SubWord, 6> kMouseButtonWords{{
    {"leftclick", click<left_click>},
    {"leftdown", set_mouse_button<kMouseLeft, true>},
    {"leftup", set_mouse_button<kMouseLeft, false>},
    {"rightclick", click<right_click>},
    {"rightdown", set_mouse_button<kMouseRight, true>},
    {"rightup", set_mouse_button<kMouseRight, false>},
}};
constexpr std::array<SubWord, 2> kMouseMiddleWords{{
    {"middleclick", click<middle_click>},
    {"middledown", set_mouse_button<kMouseMiddle, true>},
}};
constexpr std::array<SubWord, 5> kMouseOtherWords{{
    {"middleup", set_mouse_button<kMouseMiddle, false>},
    {"wheel", mouse_wheel},
    {"absmove", mouse_absmove},
    {"move", mouse_move},
    {"hid", mouse_hid},
}};

int run_mouse(const Command& command) {
  if (const SubWord* button = first_match(kMouseButtonWords, command)) button->run(command);
  for (const SubWord& middle : kMouseMiddleWords)
    if (command.sub_word(middle.word)) middle.run(command);
  const SubWord* other = first_match(kMouseOtherWords, command);
  return other != nullptr ? other->run(command) : 1;
}

// ---- consumer ----

int consumer_value(const Command& command) {
  const char* number = command.param(1);
  if (number == nullptr) return 0;
  uint32_t value = 0;
  if (number[0] == '0' && (number[1] == 'x' || number[1] == 'X')) {
    if (!parse_hex_number(number, value)) return 0;
  } else {
    value = static_cast<uint32_t>(read_number(number));
  }
  consumer(static_cast<uint16_t>(value));  // its low 16 bits
  return 1;
}

// The power requests take no release and answer 0.
template <int (*Request)()>
int power_request(const Command&) {
  Request();
  return 0;
}

template <uint16_t Usage>
int consumer_key(const Command&) {
  consumer(Usage);
  return 1;
}

constexpr std::array<SubWord, 13> kConsumerWords{{
    {"value", consumer_value},
    {"powerdown", power_request<power_down>},
    {"powersleep", power_request<power_sleep>},
    {"androidhome", consumer_key<kUsageHome>},
    {"androidback", consumer_key<kUsageBack>},
    {"androidmenu", consumer_key<kUsageMenu>},
    {"volup", consumer_key<kUsageVolumeUp>},
    {"voldown", consumer_key<kUsageVolumeDown>},
    {"mute", consumer_key<kUsageMute>},
    {"next", consumer_key<kUsageNextTrack>},
    {"pre", consumer_key<kUsagePreviousTrack>},
    {"play", consumer_key<kUsagePlayPause>},
    {"stop", consumer_key<kUsageStop>},
}};

int run_consumer(const Command& command) {
  if (const SubWord* word = first_match(kConsumerWords, command)) return word->run(command);
  // A word that names no key still sends the release a key would have had.
  release_consumer();
  return 1;
}

// ---- joy ----

int run_joy(const Command& command) {
  if (command.count == 1) {
    joy(read_number(command.param(0)), 0, 0, 0, 0);
  } else if (command.count == 4 || command.count == 5) {
    joy(read_number(command.param(0)), read_number(command.param(1)), read_number(command.param(2)),
        read_number(command.param(3)), read_number(command.param(4)));
  }
  return 1;
}

// ---- touch ----

int number(const Command& command, size_t n) { return read_number(command.param(n)); }

template <int (*Tap)(int, int)>
int tap(const Command& command) {
  if (command.count < 3) return 0;
  Tap(number(command, 1), number(command, 2));
  return 1;
}

// Unlike touch_dbclick: 50 ms presses, no pause after, and (0, 0) is a point like any
// other, not the middle of the TouchArea.
int touch_double_tap(const Command& command) {
  if (command.count < 3) return 0;
  double_tap(number(command, 1), number(command, 2), kTouchDoubleClickHoldMs, 0);
  return 1;
}

// Unlike the touch_slide_ exports, no second lift after touch_slide's own.
template <SlideDirection Direction>
int slide(const Command&) {
  slide_across(Direction);
  return 1;
}

int touch_slide_points(const Command& command) {
  if (command.count < 5) return 0;
  const int delay = command.count >= 6 ? number(command, 5) : kDefaultSlideDelayMs;
  touch_slide(number(command, 1), number(command, 2), number(command, 3), number(command, 4),
              delay);
  return 1;
}

// Whole numbers, not cut to 16 bits as touch_set cuts them.
int touch_set_area(const Command& command) {
  if (command.count < 3) return 0;
  return set_touch_area(number(command, 1), number(command, 2)) ? 1 : 0;
}

int touch_down(const Command& command) {
  if (command.count < 3) return 0;
  if (command.count == 3) touch(1, 0, number(command, 1), number(command, 2));
  if (command.count == 4) touch(1, number(command, 1), number(command, 2), number(command, 3));
  return 1;
}

int touch_up(const Command& command) {
  touch_release(command.count >= 2 ? number(command, 1) : 0);
  return 1;
}

constexpr std::array<SubWord, 12> kTouchWords{{
    {"longclick", tap<touch_longclick>},
    {"dbclick", touch_double_tap},
    {"click", tap<touch_click>},
    {"slideleft", slide<SlideDirection::Left>},
    {"slideright", slide<SlideDirection::Right>},
    {"slideup", slide<SlideDirection::Up>},
    {"slidedown", slide<SlideDirection::Down>},
    {"slide", touch_slide_points},
    {"set", touch_set_area},
    {"down", touch_down},
    {"up", touch_up},
    {"release", touch_up},
}};

int run_touch(const Command& command) {
  const SubWord* word = first_match(kTouchWords, command);
  return word != nullptr ? word->run(command) : 1;
}

// Command words are compared whole and case-sensitively.
struct CommandWord {
  std::string_view word;
  Action run;
};
constexpr std::array<CommandWord, 5> kCommandWords{{
    {"key", run_key},
    {"mouse", run_mouse},
    {"consumer", run_consumer},
    {"joy", run_joy},
    {"touch", run_touch},
}};

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
  const system::CommandLock lock;
  if (command_text == nullptr) return 0;
  std::string text(command_text);
  Command command;
  if (!split_command(text, command)) return 0;
  for (const CommandWord& word : kCommandWords)
    if (command.word == word.word) return word.run(command);
  return 1;
}
