// GNOME latencies on a private headless GNOME Shell 43 (the tests' GnomeShellServer, our
// extension enabled) with the GTK 3 test window (tests/clients/gtk_window.py), in one run:
//
//   bench_gnome_latency [keys] [clipboard rounds]    (defaults 50 and 20; needs root)
//
// - key to window: KeyDown through a Lua state of this program's own (the whole script
//   library, UDP on loopback) to `tapline-device --inject gnome`, until the window writes
//   "key a"; the time from the call to the line's arrival here (a reader thread stamps
//   each line of the window's standard output as it comes).
// - clipboard: whole `tapline` runs (the program's start included, the empty script's run
//   given beside them): SetClipBoard, then the window pasting it; SetClipBoard, then a
//   second run's GetClipBoard; the window copying, then a run's GetClipBoard.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <lua.hpp>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "gnome_shell.h"
#include "program_run.h"
#include "script/script_library.h"
#include "tapline.h"

namespace {

using Clock = std::chrono::steady_clock;
using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::GnomeShellServer;
using tapline::testing::ListeningDevice;
using tapline::testing::ProgramResult;

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five;
  file >> one >> five;
  return one + " " + five;
}

// The window's lines, each stamped when it arrived.
class Lines {
 public:
  explicit Lines(ChildProcess& window) : window_(window) {
    thread_ = std::thread([this] { run(); });
  }
  ~Lines() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    thread_.join();
  }

  // The first line starting with `prefix` that arrived after `after`, and when; false when
  // none comes within 5 s.
  bool wait_for(const std::string& prefix, Clock::time_point after, std::string& line,
                Clock::time_point& when) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      while (!lines_.empty()) {
        auto [text, arrived] = lines_.front();
        lines_.pop_front();
        if (arrived >= after && text.rfind(prefix, 0) == 0) {
          line = text;
          when = arrived;
          return true;
        }
      }
      if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
  }

 private:
  void run() {
    for (;;) {
      bool ok = false;
      std::string line = window_.out_line(ok);
      const Clock::time_point now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_ || (!ok && window_.exit_status_if_ended())) return;
      if (!ok) continue;
      lines_.emplace_back(std::move(line), now);
      arrived_.notify_all();
    }
  }

  ChildProcess& window_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::pair<std::string, Clock::time_point>> lines_;
  bool stop_ = false;
};

void report(const char* name, std::vector<double> values, int asked) {
  if (values.empty()) {
    std::printf("%-52s %3d of %3d arrived\n", name, 0, asked);
    return;
  }
  std::sort(values.begin(), values.end());
  const auto at = [&](int percent) {
    return values[std::min(values.size() - 1, values.size() * percent / 100)];
  };
  std::printf("%-52s %3zu/%3d  %8.2f  %8.2f  %8.2f\n", name, values.size(), asked, at(50), at(90),
              values.front());
}

}  // namespace

int main(int argc, char** argv) {
  const int keys = argc > 1 ? std::max(5, std::atoi(argv[1])) : 50;
  const int rounds = argc > 2 ? std::max(3, std::atoi(argv[2])) : 20;
  if (const std::string reason = GnomeShellServer::skip_reason(); !reason.empty()) {
    std::fprintf(stderr, "bench_gnome_latency: %s\n", reason.c_str());
    return 1;
  }
  std::printf("load average before: %s\n", load_average().c_str());
  const Clock::time_point shell_start = Clock::now();
  GnomeShellServer shell;
  const double shell_ms = ms_between(shell_start, Clock::now());
  std::vector<std::string> environment = shell.client_environment();
  environment.push_back("LC_ALL=C.UTF-8");

  tapline::testing::TempDir folder;
  const std::string commands_path = folder.directory() + "/commands";
  if (mkfifo(commands_path.c_str(), 0600) != 0) return 1;
  const int commands = open(commands_path.c_str(), O_RDWR | O_CLOEXEC);
  ChildOptions window_options;
  window_options.environment = environment;
  window_options.err = ChildOutput::Discard;
  ChildProcess window(
      {"/usr/bin/python3", std::string(TAPLINE_SOURCE_DIR) + "/tests/clients/gtk_window.py",
       "Probe", commands_path},
      window_options);
  Lines lines(window);
  std::string line;
  Clock::time_point when;
  if (!lines.wait_for("ready", Clock::time_point{}, line, when)) {
    std::fprintf(stderr, "bench_gnome_latency: the GTK window did not start\n");
    return 1;
  }
  const auto command = [&](const std::string& text) {
    const std::string with_end = text + "\n";
    return write(commands, with_end.data(), with_end.size()) ==
           static_cast<ssize_t>(with_end.size());
  };

  ChildOptions device_options;
  device_options.out = ChildOutput::Discard;
  device_options.environment = environment;
  ListeningDevice device(tapline::testing::device_binary(), {"--inject", "gnome"}, device_options);
  if (device.port() <= 0) return 1;

  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  tapline::script::register_script_library(L);
  // The call hook's echo of each global goes to standard output; keep it off the table.
  std::fflush(stdout);
  const int saved_stdout = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  netcfg("127.0.0.1", device.port());
  // The Shell starts in its overview: Escape closes it and the window takes the keyboard.
  luaL_dostring(L, "KeyPress('Esc') Delay(500)");

  std::vector<double> key_ms;
  for (int i = 0; i < keys; ++i) {
    luaL_loadstring(L, "KeyDown('a')");
    const Clock::time_point start = Clock::now();
    lua_pcall(L, 0, 0, 0);
    if (lines.wait_for("key a", start, line, when)) key_ms.push_back(ms_between(start, when));
    luaL_dostring(L, "KeyUp('a') Delay(30)");
  }
  lua_close(L);
  std::fflush(stdout);
  dup2(saved_stdout, STDOUT_FILENO);

  const auto run = [&](const std::string& script, double& ms) {
    tapline::testing::TempFile file(script);
    const Clock::time_point start = Clock::now();
    const ProgramResult result = tapline::testing::run_program(
        tapline::testing::tapline_binary(), {file.path(), "net", "127.0.0.1", "9"}, environment);
    ms = ms_between(start, Clock::now());
    return result;
  };
  std::vector<double> empty_run_ms, set_run_ms, set_paste_ms, paste_ms, set_get_ms, get_run_ms;
  for (int i = 0; i < rounds; ++i) {
    double ms = 0;
    run("", ms);
    empty_run_ms.push_back(ms);

    // SetClipBoard, then the window pastes it.
    const std::string text = "to GTK " + std::to_string(i) + " é";
    Clock::time_point start = Clock::now();
    if (run("SetClipBoard('" + text + "')", ms).status == 0) {
      set_run_ms.push_back(ms);
      const Clock::time_point asked = Clock::now();
      command("paste");
      if (!lines.wait_for("pasted", asked, line, when)) {
        std::fprintf(stderr, "round %d: the window pasted nothing\n", i);
      } else if (line != "pasted " + text) {
        std::fprintf(stderr, "round %d: the window %s\n", i, line.c_str());
      } else {
        set_paste_ms.push_back(ms_between(start, when));
        paste_ms.push_back(ms_between(asked, when));
      }
    }

    // SetClipBoard, then a second run reads it.
    const std::string again = "to a run " + std::to_string(i) + " é";
    start = Clock::now();
    double set_ms = 0;
    if (run("SetClipBoard('" + again + "')", set_ms).status == 0 &&
        run("io.write('[', GetClipBoard(), ']')", ms).out.find("[" + again + "]") !=
            std::string::npos)
      set_get_ms.push_back(ms_between(start, Clock::now()));

    // The window copies (its paste answers once the copy is made), then a run reads it.
    const std::string copied = "from GTK " + std::to_string(i) + " é";
    start = Clock::now();
    command("copy " + copied);
    command("paste");
    if (lines.wait_for("pasted", start, line, when) && line == "pasted " + copied &&
        run("io.write('[', GetClipBoard(), ']')", ms).out.find("[" + copied + "]") !=
            std::string::npos)
      get_run_ms.push_back(ms);
  }

  std::printf("GNOME Shell ready after %.0f ms; load average after: %s\n", shell_ms,
              load_average().c_str());
  std::printf("%-52s %7s  %8s  %8s  %8s\n", "measure", "n", "median", "p90", "min");
  report("KeyDown -> GTK key-press line (ms)", key_ms, keys);
  report("tapline run, empty script (ms)", empty_run_ms, rounds);
  report("tapline run, SetClipBoard (ms)", set_run_ms, rounds);
  report("GTK paste of it, asked -> pasted (ms)", paste_ms, rounds);
  report("SetClipBoard run start -> GTK pasted (ms)", set_paste_ms, rounds);
  report("SetClipBoard run + GetClipBoard run (ms)", set_get_ms, rounds);
  report("GTK copied -> GetClipBoard run (ms)", get_run_ms, rounds);
  close(commands);
  close(null_fd);
  close(saved_stdout);
  return 0;
}
