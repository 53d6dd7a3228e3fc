#include "system/stop_request.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <thread>

namespace tapline::system {
namespace {

std::atomic<int> requested_signal{0};
enum class StopState { idle, acting, done };
std::atomic<StopState> state{StopState::idle};
std::atomic<int> wake_fd{-1};
StopAction stop_action = nullptr;
// The action runs on the thread that installed it (the script's thread), never on a
// helper thread that happens to sleep.
std::thread::id action_thread;

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

void on_stop_signal(int signal) { request_stop(signal); }

}  // namespace

void install_stop_handlers(StopAction action) {
  stop_action = action;
  action_thread = std::this_thread::get_id();
  if (wake_fd.load() < 0) wake_fd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  struct sigaction handler {};
  handler.sa_handler = on_stop_signal;
  sigemptyset(&handler.sa_mask);
  // No SA_RESTART: a blocking read (a console prompt) returns so that the stop is seen.
  handler.sa_flags = 0;
  for (const int signal : kStopSignals) sigaction(signal, &handler, nullptr);
  // A reader that went away is seen as a failed write (EPIPE), which requests the stop.
  std::signal(SIGPIPE, SIG_IGN);
}

const char* signal_name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGPIPE:
      return "SIGPIPE";
    case SIGUSR1:
      return "SIGUSR1";
    case SIGUSR2:
      return "SIGUSR2";
    case SIGALRM:
      return "SIGALRM";
    case SIGXCPU:
      return "SIGXCPU";
    case SIGXFSZ:
      return "SIGXFSZ";
    default:
      return "a signal";
  }
}

void request_stop(int signal) {
  int expected = 0;
  requested_signal.compare_exchange_strong(expected, signal);
  const int fd = wake_fd.load();
  if (fd >= 0) {
    const uint64_t one = 1;
    // A full counter only means the descriptor is readable already.
    [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
  }
}

bool stop_requested() { return requested_signal.load() != 0; }

int stop_signal() { return requested_signal.load(); }

void check_stop() {
  if (!stop_requested() || stop_action == nullptr) return;
  if (std::this_thread::get_id() != action_thread) return;
  StopState expected = StopState::idle;
  if (!state.compare_exchange_strong(expected, StopState::acting)) return;
  stop_action(requested_signal.load());
  state.store(StopState::done);
}

bool stopping() { return state.load() == StopState::acting; }

int stop_wake_fd() { return wake_fd.load(); }

void clear_stop_request() {
  requested_signal.store(0);
  state.store(StopState::idle);
  const int fd = wake_fd.load();
  if (fd >= 0) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(fd, &count, sizeof count);
  }
}

}  // namespace tapline::system
