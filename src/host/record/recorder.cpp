#include "host/record/recorder.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "command/keyboard.h"
#include "platform/input_events.h"
#include "platform/screen_source.h"
#include "system/console.h"
#include "system/stop_request.h"

namespace tapline {
namespace {

using platform::InputEvent;
using platform::InputKind;

constexpr const char* kDefaultStopKey = "Pause";
// Pointer moves along a drag: at most one per this many milliseconds.
constexpr int kMotionIntervalMs = 20;
// Gaps shorter than this are added to the next one instead of becoming a Delay.
constexpr uint32_t kShortestDelayMs = 10;
// A key let go this soon after going down, with nothing between, replays as KeyPress:
// shorter than any auto-repeat delay, so the replay's shorter hold repeats nothing either.
constexpr uint32_t kQuickPressMs = 200;
// How often the live count on standard output changes at most.
constexpr auto kCountInterval = std::chrono::milliseconds(100);

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

// Turns input events into script lines. Lines are kept back while any key or button is
// held: a recording stopped by a signal leaves out the chord in progress (most likely the
// Ctrl of Ctrl+C) instead of replaying it; everything before it is in the file.
class ScriptWriter {
 public:
  ScriptWriter(FILE* out, int stop_key) : out_(out), stop_key_(stop_key) {}

  // False once the stop key went down: the recording ends there.
  bool add(const InputEvent& event) {
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

  // Ends the script. With `drop_held`, what is held now and the lines since nothing was
  // last held are left out; otherwise everything is kept and whatever is held is let go.
  void finish(bool drop_held) {
    if (drop_held) {
      count_ = kept_count_;
      return;
    }
    write_pending_press();
    for (size_t i = held_keys_.size(); i-- > 0;)
      line("KeyUp(%s)", quoted(replay_name(held_keys_[i])).c_str());
    held_keys_.clear();
    for (int button = kLeftButton; button <= kRightButton; ++button)
      if (held_buttons_[button]) line("%sUp()", button_name(button));
    held_buttons_ = {};
    keep_when_idle();
  }

  // Input events recorded so far (a quick press counts twice, down and up).
  unsigned count() const { return count_; }

 private:
  struct Press {
    int code;
    uint32_t time_ms;
  };

  void key_down(const InputEvent& event) {
    if (replay_name(event.code).empty()) {
      line("-- key 0x%02X: no key name replays it", event.code);
      return;
    }
    pending_press_ = Press{event.code, event.time_ms};
  }

  void key_up(const InputEvent& event) {
    const auto held = std::find(held_keys_.begin(), held_keys_.end(), event.code);
    if (held == held_keys_.end()) return;  // a key without a name, or held before
    held_keys_.erase(held);
    delay_to(event.time_ms);
    line("KeyUp(%s)", quoted(replay_name(event.code)).c_str());
    ++count_;
  }

  void button(const InputEvent& event) {
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

  void write_pending_press() {
    if (!pending_press_) return;
    delay_to(pending_press_->time_ms);
    line("KeyDown(%s)", quoted(replay_name(pending_press_->code)).c_str());
    held_keys_.push_back(pending_press_->code);
    pending_press_.reset();
    ++count_;
  }

  // The Delay from the last recorded event to `time`; none before the first.
  void delay_to(uint32_t time) {
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

  void move_to(int x, int y) {
    if (position_ && position_->first == x && position_->second == y) return;
    position_ = {x, y};
    line("MoveTo(%d, %d)", x, y);
  }

  void line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    held_lines_ += text;
    held_lines_ += '\n';
  }

  bool any_button_held() const {
    for (bool held : held_buttons_)
      if (held) return true;
    return false;
  }

  // Writes the lines kept back once nothing is held any more.
  void keep_when_idle() {
    if (pending_press_ || !held_keys_.empty() || any_button_held()) return;
    std::fwrite(held_lines_.data(), 1, held_lines_.size(), out_);
    held_lines_.clear();
    kept_count_ = count_;
  }

  FILE* const out_;
  const int stop_key_;
  std::string held_lines_;
  std::optional<Press> pending_press_;
  std::vector<int> held_keys_;  // in the order they went down
  std::array<bool, kRightButton + 1> held_buttons_{};
  std::optional<std::pair<int, int>> position_;
  bool started_ = false;
  uint32_t last_time_ = 0;
  uint32_t gap_ = 0;
  unsigned count_ = 0;
  unsigned kept_count_ = 0;
};

// Events from the listener's thread, waiting for the recording's thread.
struct Inbox {
  std::mutex lock;
  std::vector<InputEvent> events;
  int wake_fd = -1;
};

void post_to_inbox(const InputEvent& event, void* context) {
  auto& inbox = *static_cast<Inbox*>(context);
  {
    std::lock_guard guard(inbox.lock);
    inbox.events.push_back(event);
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(inbox.wake_fd, &one, sizeof one);
}

// The live count: rewritten in place on a terminal, one line per change otherwise.
class CountDisplay {
 public:
  CountDisplay() : terminal_(isatty(STDOUT_FILENO) != 0) {}

  void show(unsigned count, bool now = false) {
    const auto time = std::chrono::steady_clock::now();
    if (count == shown_ || (!now && time - last_ < kCountInterval)) return;
    last_ = time;
    shown_ = count;
    std::printf(terminal_ ? "\rrecorded %u event%s" : "recorded %u event%s\n", count,
                count == 1 ? "" : "s");
    std::fflush(stdout);
  }
  void end() {
    if (terminal_ && shown_ != kNone) std::printf("\n");
    std::fflush(stdout);
  }

 private:
  static constexpr unsigned kNone = ~0u;
  const bool terminal_;
  unsigned shown_ = kNone;
  std::chrono::steady_clock::time_point last_{};
};

int usage_error(const char* detail) {
  system::console_diagnostic("%s\nusage: tapline --record FILE.lua [--stop-key NAME]\n", detail);
  return 2;
}

}  // namespace

bool asks_for_recording(int argc, char** argv) {
  return argc >= 2 && std::strcmp(argv[1], "--record") == 0;
}

int run_recording(int argc, char** argv) {
  if (argc < 3) return usage_error("--record needs the file to write");
  const std::string path = argv[2];
  const char* stop_name = kDefaultStopKey;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--stop-key") == 0 && i + 1 < argc) {
      stop_name = argv[++i];
    } else {
      return usage_error(("unexpected argument \"" + std::string(argv[i]) + "\"").c_str());
    }
  }
  const int stop_key = key_name_to_vk(stop_name);
  if (stop_key == 0)
    return usage_error(("--stop-key: no key is named \"" + std::string(stop_name) + "\"").c_str());

  // A signal only asks the loop below to stop; it never ends the process in between.
  system::install_stop_handlers(nullptr);
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  // mkstemp makes the file private; the script gets the mode any new file would get. No
  // other thread runs yet, so reading the mask by setting it is safe here.
  const mode_t mask = umask(0);
  umask(mask);
  if (fd >= 0) fchmod(fd, 0666 & ~mask);
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    system::console_diagnostic("cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    if (fd >= 0) close(fd);
    return 1;
  }

  Inbox inbox;
  inbox.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  auto listener = platform::listen_to_host_input(post_to_inbox, &inbox,
                                                 {.motion_interval_ms = kMotionIntervalMs});
  if (!listener) {
    std::fclose(out);
    unlink(temporary.c_str());
    close(inbox.wake_fd);
    return 1;
  }
  const platform::ScreenSize screen = platform::screen().size();
  std::fprintf(out,
               "-- Recorded with tapline --record: keys, mouse buttons, wheel and drags on a "
               "%dx%d screen.\n-- MoveTo takes pixels of the screen of the machine that "
               "replays it.\n",
               screen.width, screen.height);
  system::console_diagnostic("recording to %s; press %s to stop\n", path.c_str(), stop_name);

  ScriptWriter writer(out, stop_key);
  CountDisplay display;
  display.show(0, true);
  std::vector<InputEvent> taken;
  bool stop_key_pressed = false;
  pollfd waits[2] = {{inbox.wake_fd, POLLIN, 0}, {system::stop_wake_fd(), POLLIN, 0}};
  while (!stop_key_pressed && !system::stop_requested()) {
    poll(waits, 2, static_cast<int>(kCountInterval.count()));
    uint64_t wakes = 0;
    [[maybe_unused]] const ssize_t got = read(inbox.wake_fd, &wakes, sizeof wakes);
    {
      std::lock_guard guard(inbox.lock);
      taken.swap(inbox.events);
    }
    for (const InputEvent& event : taken)
      if (!writer.add(event)) {
        stop_key_pressed = true;
        break;
      }
    taken.clear();
    display.show(writer.count());
  }
  listener.reset();
  close(inbox.wake_fd);

  const int signal = stop_key_pressed ? 0 : system::stop_signal();
  writer.finish(signal != 0);
  display.show(writer.count(), true);
  display.end();
  std::fprintf(out, "-- End of the recording: %u events.\n", writer.count());
  const bool written = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
  if (std::fclose(out) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    system::console_diagnostic("cannot write %s (what was recorded is in %s): %s\n", path.c_str(),
                               temporary.c_str(), std::strerror(errno));
    return 1;
  }
  system::console_diagnostic("%u events recorded in %s%s\n", writer.count(), path.c_str(),
                             signal == SIGINT    ? " (stopped by SIGINT)"
                             : signal == SIGTERM ? " (stopped by SIGTERM)"
                                                 : "");
  return signal != 0 ? 128 + signal : 0;
}

}  // namespace tapline
