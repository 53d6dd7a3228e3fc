#include "host/record/recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "command/keyboard.h"
#include "host/record/script_writer.h"
#include "platform/input_events.h"
#include "platform/screen_source.h"
#include "system/console.h"
#include "system/file_replace.h"
#include "system/stop_request.h"

namespace tapline {
namespace {

using platform::InputEvent;

constexpr const char* kDefaultStopKey = "Pause";
// Pointer moves along a drag: at most one per this many milliseconds.
constexpr int kMotionIntervalMs = 20;
// How often the live count on standard output changes at most.
constexpr auto kCountInterval = std::chrono::milliseconds(100);

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

// Write errors show when the file is flushed at the end.
void write_text(ScriptWriter& writer, FILE* out) {
  const std::string text = writer.take_text();
  std::fwrite(text.data(), 1, text.size(), out);
}

int usage_error(const char* detail) {
  system::console_diagnostic("%s\nusage: tapline --record %s\n", detail, kRecordArguments);
  return 2;
}

}  // namespace

int run_recording(int count, char** arguments) {
  if (count < 1) return usage_error("--record needs the file to write");
  const std::string path = arguments[0];
  const char* stop_name = kDefaultStopKey;
  for (int i = 1; i < count; ++i) {
    if (std::strcmp(arguments[i], "--stop-key") == 0 && i + 1 < count) {
      stop_name = arguments[++i];
    } else {
      return usage_error(("unexpected argument \"" + std::string(arguments[i]) + "\"").c_str());
    }
  }
  const int stop_key = key_name_to_vk(stop_name);
  if (stop_key == 0)
    return usage_error(("--stop-key: no key is named \"" + std::string(stop_name) + "\"").c_str());

  // Refused before anything is recorded: the rename at the end would fail on a
  // directory, and would put a file where a FIFO or device stands.
  if (const char* kind =
          system::unreplaceable_file_kind(path.c_str(), system::Replacing::by_rename)) {
    system::console_diagnostic("%s is %s, not a file; nothing was recorded\n", path.c_str(), kind);
    return 1;
  }

  // A signal only asks the loop below to stop; it never ends the process in between.
  system::install_stop_handlers(nullptr);
  // A new file, never one reached through a link, readable by its owner only: the
  // recording holds everything typed, passwords included.
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
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
  ScriptWriter writer(stop_key, platform::screen().size());
  write_text(writer, out);
  system::console_diagnostic("recording to %s; press %s to stop\n", path.c_str(), stop_name);

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
    write_text(writer, out);
    display.show(writer.count());
  }
  listener.reset();
  close(inbox.wake_fd);

  const int signal = stop_key_pressed ? 0 : system::stop_signal();
  writer.finish(signal != 0);
  write_text(writer, out);
  display.show(writer.count(), true);
  display.end();
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
