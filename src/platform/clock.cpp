#include "platform/clock.h"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

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
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

Clock& clock() { return *current; }

void set_clock(Clock* replacement) { current = replacement ? replacement : &system_clock; }

}  // namespace tapline::platform
