// The script a recording writes: input events in, the Lua text that replays them out.
// Plain logic: it reads no input and writes no file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/input_events.h"
#include "platform/screen_source.h"

namespace tapline {

// Turns input events into script lines. Lines are kept back while any key or button is
// held: a recording stopped by a signal leaves out the chord in progress (most likely the
// Ctrl of Ctrl+C) instead of replaying it; everything before it is in the script.
class ScriptWriter {
 public:
  // The script starts with a comment naming the size of the screen recorded on.
  ScriptWriter(int stop_key, platform::ScreenSize screen);

  // False once the stop key went down: the recording ends there.
  bool add(const platform::InputEvent& event);

  // Ends the script with a line counting its events. With `drop_held`, what is held now
  // and the lines since nothing was last held are left out; otherwise everything is kept
  // and whatever is held is let go.
  void finish(bool drop_held);

  // The text that is final, from where the last call left off: the caller writes it out
  // as it comes, so a stop loses nothing already taken.
  std::string take_text();

  // Input events recorded so far (a quick press counts twice, down and up).
  unsigned count() const { return count_; }

 private:
  struct Press {
    int code;
    uint32_t time_ms;
  };

  void key_down(const platform::InputEvent& event);
  void key_up(const platform::InputEvent& event);
  void button(const platform::InputEvent& event);
  void write_pending_press();
  void delay_to(uint32_t time);
  void move_to(int x, int y);
  void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool any_button_held() const;
  void keep_when_idle();

  const int stop_key_;
  std::string final_text_;  // taken by take_text
  std::string held_lines_;  // kept back while something is held
  std::optional<Press> pending_press_;
  std::vector<int> held_keys_;  // in the order they went down
  std::array<bool, platform::kRightButton + 1> held_buttons_{};
  std::optional<std::pair<int, int>> position_;
  bool started_ = false;
  uint32_t last_time_ = 0;
  uint32_t gap_ = 0;
  unsigned count_ = 0;
  unsigned kept_count_ = 0;
};

}  // namespace tapline
