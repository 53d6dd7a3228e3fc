#include "host/record/script_writer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "command/keyboard.h"

namespace tapline {
namespace {

using platform::InputEvent;
using platform::InputKind;

// Gaps shorter than this are added to the next one instead of becoming a Delay.
constexpr uint32_t kShortestDelayMs = 10;
// A key let go this soon after going down, with nothing between, replays as KeyPress:
// shorter than any auto-repeat delay, so the replay's shorter hold repeats nothing either.
constexpr uint32_t kQuickPressMs = 200;

constexpr int kLeftButton = platform::kLeftButton;
constexpr int kRightButton = platform::kRightButton;

// Virtual-key codes of the punctuation keys and the character that types each unshifted:
// a one-character name replays the key that types it.
constexpr std::pair<int, char> kPunctuationKeys[] = {
    {0xBA, ';'}, {0xBB, '='}, {0xBC, ','},  {0xBD, '-'}, {0xBE, '.'},  {0xBF, '/'},
    {0xC0, '`'}, {0xDB, '['}, {0xDC, '\\'}, {0xDD, ']'}, {0xDE, '\''},
};

// The key name that KeyDown, KeyUp and KeyPress take for a virtual key; empty for keys
// that no name replays.
std::string replay_name(int virtual_key) {
  if (virtual_key >= 'A' && virtual_key <= 'Z') return std::string(1, char(virtual_key + 32));
  if (virtual_key >= '0' && virtual_key <= '9') return std::string(1, char(virtual_key));
  for (const auto& [code, character] : kPunctuationKeys)
    if (code == virtual_key) return std::string(1, character);
  for (const KeyTableRow& row : key_table())
    if (row.virtual_key == virtual_key) return row.name;
  return {};
}

// A name as a Lua string literal (names hold no quotation mark or control character).
std::string quoted(const std::string& name) {
  return name == "\\" ? "\"\\\\\"" : "\"" + name + "\"";
}

const char* button_name(int button) {
  switch (button) {
    case platform::kLeftButton:
      return "Left";
    case platform::kMiddleButton:
      return "Middle";
    case platform::kRightButton:
      return "Right";
    default:
      return nullptr;
  }
}

}  // namespace

ScriptWriter::ScriptWriter(int stop_key, platform::ScreenSize screen) : stop_key_(stop_key) {
  line(
      "-- Recorded with tapline --record: keys, mouse buttons, wheel and drags on a %dx%d "
      "screen.",
      screen.width, screen.height);
  line("-- MoveTo takes pixels of the screen of the machine that replays it.");
  keep_when_idle();
}

bool ScriptWriter::add(const InputEvent& event) {
  if (event.kind == InputKind::key_down && event.code == stop_key_) {
    write_pending_press();
    return false;
  }
  // Moves matter only along a drag.
  if (event.kind == InputKind::motion && !any_button_held()) return true;
  if (pending_press_) {
    if (event.kind == InputKind::key_up && event.code == pending_press_->code &&
        event.time_ms - pending_press_->time_ms < kQuickPressMs) {
      delay_to(pending_press_->time_ms);
      line("KeyPress(%s)", quoted(replay_name(event.code)).c_str());
      last_time_ = event.time_ms;  // the hold is the replay's own
      pending_press_.reset();
      count_ += 2;
      keep_when_idle();
      return true;
    }
    write_pending_press();
  }
  switch (event.kind) {
    case InputKind::key_down:
      key_down(event);
      break;
    case InputKind::key_up:
      key_up(event);
      break;
    case InputKind::button_down:
    case InputKind::button_up:
      button(event);
      break;
    case InputKind::motion:
      delay_to(event.time_ms);
      move_to(event.x, event.y);
      ++count_;
      break;
  }
  keep_when_idle();
  return true;
}

void ScriptWriter::finish(bool drop_held) {
  if (drop_held) {
    count_ = kept_count_;
  } else {
    write_pending_press();
    for (size_t i = held_keys_.size(); i-- > 0;)
      line("KeyUp(%s)", quoted(replay_name(held_keys_[i])).c_str());
    held_keys_.clear();
    for (int button = kLeftButton; button <= kRightButton; ++button)
      if (held_buttons_[button]) line("%sUp()", button_name(button));
    held_buttons_ = {};
    keep_when_idle();
  }
  final_text_ += "-- End of the recording: " + std::to_string(count_) + " events.\n";
}

std::string ScriptWriter::take_text() { return std::exchange(final_text_, {}); }

void ScriptWriter::key_down(const InputEvent& event) {
  if (replay_name(event.code).empty()) {
    line("-- key 0x%02X: no key name replays it", event.code);
    return;
  }
  pending_press_ = Press{event.code, event.time_ms};
}

void ScriptWriter::key_up(const InputEvent& event) {
  const auto held = std::find(held_keys_.begin(), held_keys_.end(), event.code);
  if (held == held_keys_.end()) return;  // a key without a name, or held before
  held_keys_.erase(held);
  delay_to(event.time_ms);
  line("KeyUp(%s)", quoted(replay_name(event.code)).c_str());
  ++count_;
}

void ScriptWriter::button(const InputEvent& event) {
  const bool down = event.kind == InputKind::button_down;
  delay_to(event.time_ms);
  if (event.code == platform::kWheelUp || event.code == platform::kWheelDown) {
    move_to(event.x, event.y);  // the wheel scrolls what is under the pointer
    line("MouseWheel(%d)", event.code == platform::kWheelUp ? 1 : -1);
    ++count_;
    return;
  }
  const char* name = button_name(event.code);
  if (name == nullptr) {
    if (down) line("-- mouse button %d: no script function replays it", event.code);
    return;
  }
  if (held_buttons_[event.code] == down) return;
  held_buttons_[event.code] = down;
  move_to(event.x, event.y);
  line("%s%s()", name, down ? "Down" : "Up");
  ++count_;
}

void ScriptWriter::write_pending_press() {
  if (!pending_press_) return;
  delay_to(pending_press_->time_ms);
  line("KeyDown(%s)", quoted(replay_name(pending_press_->code)).c_str());
  held_keys_.push_back(pending_press_->code);
  pending_press_.reset();
  ++count_;
}

// The Delay from the last recorded event to `time`; none before the first.
void ScriptWriter::delay_to(uint32_t time) {
  if (!started_) {
    started_ = true;
    last_time_ = time;
    return;
  }
  gap_ += time - last_time_;  // unsigned: the wrap of the clock is harmless
  last_time_ = time;
  if (gap_ < kShortestDelayMs) return;
  line("Delay(%u)", gap_);
  gap_ = 0;
}

void ScriptWriter::move_to(int x, int y) {
  if (position_ && position_->first == x && position_->second == y) return;
  position_ = {x, y};
  line("MoveTo(%d, %d)", x, y);
}

void ScriptWriter::line(const char* format, ...) {
  char text[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  held_lines_ += text;
  held_lines_ += '\n';
}

bool ScriptWriter::any_button_held() const {
  return std::find(held_buttons_.begin(), held_buttons_.end(), true) != held_buttons_.end();
}

// Makes the lines kept back final once nothing is held any more.
void ScriptWriter::keep_when_idle() {
  if (pending_press_ || !held_keys_.empty() || any_button_held()) return;
  final_text_ += held_lines_;
  held_lines_.clear();
  kept_count_ = count_;
}

}  // namespace tapline
