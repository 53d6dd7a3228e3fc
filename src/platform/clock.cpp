#include "platform/clock.h"

#include <poll.h>
#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

#include "platform/stop_request.h"

namespace tapline::platform {
namespace {

SystemClock system_clock;
Clock* current = &system_clock;

// A small timer slack keeps the wake-up close to the deadline; the default 50 us adds up
// over thousands of paced frames. It is a per-thread setting.
void tighten_timer_slack() {
  thread_local bool done = false;
  if (!done) {
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    done = true;
  }
}

}  // namespace

uint32_t SystemClock::tick_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000;
  return static_cast<uint32_t>(ms);
}

void SystemClock::sleep_ms(int64_t ms) {
  if (ms <= 0) return;
  tighten_timer_slack();
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += (ms % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  const int wake_fd = stop_wake_fd();
  if (wake_fd < 0 || stopping()) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
    return;
  }
  // A stop request makes the descriptor readable and ends the wait early; checking the
  // request before each wait closes the gap between the check and the wait.
  pollfd wake{wake_fd, POLLIN, 0};
  while (!stop_requested()) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      left.tv_sec -= 1;
      left.tv_nsec += 1000000000;
    }
    if (left.tv_sec < 0) break;
    ppoll(&wake, 1, &left, nullptr);
  }
}

Clock& clock() { return *current; }

void sleep_ms(int64_t ms) {
  clock().sleep_ms(ms);
  check_stop();
}

void set_clock(Clock* replacement) { current = replacement ? replacement : &system_clock; }

}  // namespace tapline::platform
