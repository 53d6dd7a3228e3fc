// End-to-end latency on a desktop: from a script call to the X event it causes. A private
// Xvfb, the software device injecting into it (tapline-device --inject x11) and a window
// of this program's own that records when each event reaches it; the script calls run in
// a Lua state with the whole script library, over UDP on loopback.
//
//   bench_desktop_latency [rounds]    (default 200; typing rounds are a tenth of that)
//
// For each measured call: median and p99 of the time from the call to its event, and how
// much of that is the transport's fixed pause (20 ms after each frame sent before the
// one that causes the event) and the command's own fixed waits.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <lua.hpp>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "script/script_library.h"
#include "tapline.h"
#include "transport/udp_transport.h"

// Last: Xlib's macros clash with names in the headers above.
// clang-format off
#include <X11/Xlib.h>
#include <X11/keysym.h>
// clang-format on

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// A child process: its pid and, optionally, the read end of its standard error.
struct Child {
  pid_t pid = -1;
  int err = -1;
};

Child spawn(std::vector<std::string> args, int extra_fd = -1, bool read_stderr = false) {
  Child child;
  int err[2] = {-1, -1};
  if (read_stderr && pipe2(err, O_CLOEXEC) != 0) return child;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (read_stderr)
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  (void)extra_fd;  // inherited as it is (not close-on-exec)
  if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (read_stderr) {
    close(err[1]);
    child.err = err[0];
  }
  return child;
}

void end(Child& child) {
  if (child.pid <= 0) return;
  kill(child.pid, SIGTERM);
  waitpid(child.pid, nullptr, 0);
  child.pid = -1;
  if (child.err >= 0) close(child.err);
}

std::string read_line(int fd) {
  std::string line;
  char c = 0;
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

struct Event {
  int type;
  unsigned long detail;  // keysym or button
  Clock::time_point when;
};

// A window over the whole screen with the focus; a thread records each event's arrival.
class Recorder {
 public:
  explicit Recorder(Display* display) : display_(display) {
    const int screen = DefaultScreen(display_);
    window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0,
                                  DisplayWidth(display_, screen), DisplayHeight(display_, screen),
                                  0, 0, 0);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    XChangeWindowAttributes(display_, window_, CWOverrideRedirect, &attributes);
    XSelectInput(display_, window_,
                 KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     PointerMotionMask | StructureNotifyMask);
    XMapRaised(display_, window_);
    XEvent event;
    do XNextEvent(display_, &event);
    while (event.type != MapNotify);
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
    if (pipe2(stop_, O_CLOEXEC) != 0) stop_[0] = stop_[1] = -1;
    thread_ = std::thread([this] { run(); });
  }
  ~Recorder() {
    if (stop_[1] >= 0) write(stop_[1], "x", 1);
    thread_.join();
    for (const int fd : stop_)
      if (fd >= 0) close(fd);
  }

  // The first event of `type` (and `detail`, unless 0) that arrives after `after`.
  bool wait_for(int type, unsigned long detail, Clock::time_point after, Event& found) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      while (!events_.empty()) {
        const Event event = events_.front();
        events_.pop_front();
        if (event.type == type && (detail == 0 || event.detail == detail) && event.when >= after) {
          found = event;
          return true;
        }
      }
      if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
  }
  void forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  void run() {
    pollfd watched[2] = {{ConnectionNumber(display_), POLLIN, 0}, {stop_[0], POLLIN, 0}};
    for (;;) {
      if (XPending(display_) == 0) {
        poll(watched, 2, -1);
        if (watched[1].revents != 0) return;
        continue;
      }
      XEvent event;
      XNextEvent(display_, &event);
      const Clock::time_point now = Clock::now();
      unsigned long detail = 0;
      if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
      if (event.type == KeyPress || event.type == KeyRelease)
        detail = XLookupKeysym(&event.xkey, 0);
      else if (event.type == ButtonPress || event.type == ButtonRelease)
        detail = event.xbutton.button;
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({event.type, detail, now});
      arrived_.notify_all();
    }
  }

  Display* display_;
  Window window_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Event> events_;
  int stop_[2] = {-1, -1};  // written to end the thread
};

struct Measurement {
  const char* name;
  const char* prepare;  // Lua run before each round, unmeasured
  const char* call;     // Lua
  int event_type;
  unsigned long detail;
  // Fixed pauses before the frame that causes the event: the transport's 20 ms after each
  // earlier frame, plus the command's own waits.
  double fixed_before_ms;
  const char* undo;  // Lua run after each round, unmeasured
  int rounds_divisor;
};

void report(const Measurement& m, std::vector<double>& latencies, std::vector<double>& calls) {
  if (latencies.empty()) {
    std::printf("%-34s no event arrived\n", m.name);
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  std::sort(calls.begin(), calls.end());
  const double median = latencies[latencies.size() / 2];
  const double p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
  std::printf("%-34s %5zu  %9.3f  %9.3f  %7.3f  %6.1f %%  %9.3f\n", m.name, latencies.size(),
              median, p99, median - m.fixed_before_ms,
              median > 0 ? 100.0 * m.fixed_before_ms / median : 0.0, calls[calls.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  const std::string device_path = std::string(TAPLINE_BINARY_DIR) + "/tools/device/tapline-device";
  if (access(device_path.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "bench_desktop_latency: build tapline-device first (%s)\n",
                 device_path.c_str());
    return 1;
  }

  int ready[2];
  if (pipe(ready) != 0) return 1;
  fcntl(ready[0], F_SETFD, FD_CLOEXEC);
  Child xvfb = spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-noreset", "-nolisten",
                      "tcp", "-screen", "0", "1024x768x24"},
                     ready[1]);
  close(ready[1]);
  const std::string number = read_line(ready[0]);
  close(ready[0]);
  if (xvfb.pid <= 0 || number.empty()) {
    std::fprintf(stderr, "bench_desktop_latency: Xvfb did not start\n");
    end(xvfb);
    return 1;
  }
  setenv("DISPLAY", (":" + number).c_str(), 1);
  setenv("LC_ALL", "C.UTF-8", 1);

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  auto recorder = std::make_unique<Recorder>(display);

  Child device = spawn({device_path, "--inject", "x11", "--listen", "127.0.0.1:0"}, -1, true);
  const std::string listening = read_line(device.err);
  const std::string prefix = "listening on 127.0.0.1:";
  if (listening.rfind(prefix, 0) != 0) {
    std::fprintf(stderr, "bench_desktop_latency: the device said \"%s\"\n", listening.c_str());
    end(device);
    end(xvfb);
    return 1;
  }
  const int port = std::atoi(listening.c_str() + prefix.size());

  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  tapline::script::register_script_library(L);
  // The call hook's echo of each global goes to standard output; keep it off the table.
  std::fflush(stdout);
  const int saved_stdout = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  netcfg("127.0.0.1", port);
  std::fflush(stdout);

  const Measurement measurements[] = {
      {"KeyDown (1 frame) -> KeyPress", nullptr, "KeyDown('a')", KeyPress, XK_a, 0, "KeyUp('a')",
       1},
      {"KeyUp (1 frame) -> KeyRelease", "KeyDown('a')", "KeyUp('a')", KeyRelease, XK_a, 0, nullptr,
       1},
      {"KeyPress -> KeyRelease (2nd frame)", nullptr, "KeyPress('b')", KeyRelease, XK_b, 20,
       nullptr, 1},
      {"MoveTo -> MotionNotify", nullptr, "MoveTo(__x, 300)", MotionNotify, 0, 0, nullptr, 1},
      {"LeftClick -> ButtonPress", nullptr, "LeftClick()", ButtonPress, 1, 0, nullptr, 1},
      {"LeftClick -> ButtonRelease", nullptr, "LeftClick()", ButtonRelease, 1, 22, nullptr, 1},
      {"SayString one CJK char -> KeyPress", nullptr, "SayString('中')", KeyPress, 0x1004E2D, 200,
       nullptr, 10},
  };
  bool header_printed = false;
  for (const Measurement& m : measurements) {
    std::vector<double> latencies;
    std::vector<double> calls;
    const int count = std::max(5, rounds / m.rounds_divisor);
    for (int i = 0; i < count; ++i) {
      // MoveTo alternates between two places so that every call moves the pointer.
      std::string call = m.call;
      const size_t x = call.find("__x");
      if (x != std::string::npos) call.replace(x, 3, i % 2 ? "200" : "400");
      if (m.prepare != nullptr) luaL_dostring(L, m.prepare);
      luaL_loadstring(L, call.c_str());
      recorder->forget();
      const Clock::time_point start = Clock::now();
      lua_pcall(L, 0, 0, 0);
      const Clock::time_point returned = Clock::now();
      Event event{};
      if (recorder->wait_for(m.event_type, m.detail, start, event)) {
        latencies.push_back(ms_between(start, event.when));
        calls.push_back(ms_between(start, returned));
      }
      if (m.undo != nullptr) luaL_dostring(L, m.undo);
    }
    std::fflush(stdout);
    dup2(saved_stdout, STDOUT_FILENO);
    if (!header_printed)
      std::printf("%-34s %5s  %9s  %9s  %7s  %8s  %9s\n", "call -> event", "n", "median ms",
                  "p99 ms", "beyond", "fixed", "call ms");
    report(m, latencies, calls);
    header_printed = true;
    std::fflush(stdout);
    dup2(null_fd, STDOUT_FILENO);
  }
  std::fflush(stdout);
  dup2(saved_stdout, STDOUT_FILENO);
  lua_close(L);
  end(device);
  recorder.reset();
  XCloseDisplay(display);
  end(xvfb);
  return 0;
}
