// Host input on a private Xvfb, driven through XTest from this program:
//
//   bench_hotkeys [presses] [seconds]     (defaults 1000 and 5)
//
// 1. Hotkey latency: a script registers a RegKbEvent callback that writes one line per key
//    press and runs Loop; for each press, the time from just before XTestFakeKeyEvent to
//    the callback's line arriving on the script's standard output (a pipe). Median and p99.
// 2. Recorder CPU: `tapline --record` while nothing happens, then during bursts of 1,000
//    events per second (pointer moves along a drag; key presses and releases), as process
//    time (user + system, from /proc) over wall time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

// Last: Xlib's macros clash with names in the headers above.
// clang-format off
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <X11/extensions/XTest.h>
// clang-format on

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts `args` with standard output into a pipe (its read end in `out`) or /dev/null.
pid_t spawn(std::vector<std::string> args, int* out, int extra_fd = -1) {
  int pipe_ends[2] = {-1, -1};
  if (out != nullptr && pipe2(pipe_ends, O_CLOEXEC) != 0) return -1;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (out != nullptr)
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  (void)extra_fd;  // inherited as it is (not close-on-exec)
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (out != nullptr) {
    close(pipe_ends[1]);
    *out = pipe_ends[0];
  }
  return pid;
}

// Reads lines from a pipe until one equals `wanted`; false at the end of the stream.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  bool wait_for(const std::string& wanted) {
    for (;;) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        const bool found = buffer_.compare(0, end, wanted) == 0;
        buffer_.erase(0, end + 1);
        if (found) return true;
        continue;
      }
      char chunk[4096];
      const ssize_t got = read(fd_, chunk, sizeof chunk);
      if (got <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

// Process time of a running process in seconds (user + system).
double process_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name (which may hold blanks) start after the last ')'.
  size_t at = text.rfind(')') + 2;
  double ticks = 0;
  for (int field = 3; field <= 15; ++field) {
    const size_t next = text.find(' ', at);
    if (field == 14 || field == 15) ticks += std::stod(text.substr(at, next - at));
    at = next + 1;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void key(Display* display, KeySym keysym, bool down) {
  XTestFakeKeyEvent(display, XKeysymToKeycode(display, keysym), down, CurrentTime);
  XFlush(display);
}

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// Runs `event(i)` 1,000 times a second for `seconds`, at fixed times (no drift).
template <typename Event>
void burst(int seconds, Event event) {
  const auto start = Clock::now();
  for (int i = 0; i < seconds * 1000; ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(1000 * i));
    event(i);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int presses = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string tapline = std::string(TAPLINE_BINARY_DIR) + "/tapline";

  int ready[2];
  if (pipe(ready) != 0) return 1;
  const pid_t xvfb = spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-noreset", "-nolisten",
                            "tcp", "-screen", "0", "1024x768x24"},
                           nullptr, ready[1]);
  close(ready[1]);
  std::string number;
  char c = 0;
  while (read(ready[0], &c, 1) == 1 && c != '\n') number += c;
  close(ready[0]);
  if (xvfb < 0 || number.empty()) {
    std::fprintf(stderr, "bench_hotkeys: Xvfb did not start\n");
    return 1;
  }
  setenv("DISPLAY", (":" + number).c_str(), 1);
  Display* display = XOpenDisplay(nullptr);

  // 1. Latency from an XTest press to the callback.
  const std::string script = "/tmp/bench_hotkeys_" + std::to_string(getpid()) + ".lua";
  std::ofstream(script) << "RegKbEvent(function(code, state)\n"
                           "  if state == 1 then io.write('k\\n') io.flush() end\n"
                           "  if code == 0x1B then EndScript() end\n"
                           "end)\n"
                           "io.write('ready\\n') io.flush()\n"
                           "Loop()\n";
  int out = -1;
  const pid_t run = spawn({tapline, script, "net", "127.0.0.1", "9"}, &out);
  LineReader lines(out);
  lines.wait_for("ready");
  std::vector<double> latencies;
  for (int i = 0; i < presses; ++i) {
    const auto pressed = Clock::now();
    key(display, XK_a, true);
    if (!lines.wait_for("k")) break;
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - pressed).count());
    key(display, XK_a, false);
  }
  key(display, XK_Escape, true);
  key(display, XK_Escape, false);
  waitpid(run, nullptr, 0);
  close(out);
  std::remove(script.c_str());
  if (latencies.empty()) {
    std::fprintf(stderr, "bench_hotkeys: no callback came\n");
    return 1;
  }
  std::printf("hotkey latency over %zu presses: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
              latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.99),
              percentile(latencies, 1.0));

  // 2. The recorder's CPU.
  const std::string recorded = "/tmp/bench_hotkeys_" + std::to_string(getpid()) + "_rec.lua";
  const pid_t recorder = spawn({tapline, "--record", recorded}, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // started and listening
  const auto phase = [&](const char* name, auto&& work) {
    const double cpu_before = process_seconds(recorder);
    const auto wall_before = Clock::now();
    work();
    const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
    const double cpu = process_seconds(recorder) - cpu_before;
    std::printf("recorder, %-40s %6.2f %% of one core (%.3f s in %.2f s)\n", name, 100 * cpu / wall,
                cpu, wall);
  };
  phase("idle:", [&] { std::this_thread::sleep_for(std::chrono::seconds(seconds)); });
  XTestFakeMotionEvent(display, -1, 100, 100, CurrentTime);
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  phase("drag, 1,000 pointer moves/s:", [&] {
    burst(seconds, [&](int i) {
      XTestFakeMotionEvent(display, -1, 100 + i % 800, 100 + i % 600, CurrentTime);
      XFlush(display);
    });
  });
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  phase("typing, 1,000 key presses+releases/s:", [&] {
    const KeySym keys[] = {XK_a, XK_s, XK_d, XK_f};
    burst(seconds, [&](int i) { key(display, keys[i / 2 % 4], i % 2 == 0); });
  });
  key(display, XK_Pause, true);
  key(display, XK_Pause, false);
  int status = 0;
  waitpid(recorder, &status, 0);
  std::ifstream file(recorded);
  size_t script_lines = 0;
  for (std::string line; std::getline(file, line);) ++script_lines;
  std::printf("recorded script: %zu lines\n", script_lines);
  std::remove(recorded.c_str());

  XCloseDisplay(display);
  kill(xvfb, SIGTERM);
  waitpid(xvfb, nullptr, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
