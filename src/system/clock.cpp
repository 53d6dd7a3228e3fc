#include "system/clock.h"

#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "system/stop_request.h"

namespace tapline::system {
namespace {

SystemClock system_clock;
Clock* current = &system_clock;

constexpr int64_t kNanosecondsPerSecond = 1000000000;
// Timer wake-ups come late by a fairly steady amount (tens of microseconds, more in
// virtual machines). Each sleep aims that much, plus a small margin, before its deadline
// and spins the rest, so that a pause ends at its deadline rather than after it and
// paced frames do not drift. Samples are capped so that one wake-up delayed by a busy
// machine does not turn the next sleeps into long spins.
constexpr int64_t kSpinMarginNs = 15000;
constexpr int64_t kLatenessCapNs = 200000;
constexpr int64_t kInitialLatenessNs = 60000;
// Longer sleeps are cut to this (about 146 years) so the deadline cannot overflow.
constexpr int64_t kLongestSleepMs = INT64_MAX / 2 / 1000000;

// A small timer slack keeps the timer close to the deadline (the default 50 us adds up
// over thousands of paced frames). It is a per-thread setting.
void prepare_thread_for_timely_wakeups() {
  thread_local bool done = false;
  if (done) return;
  done = true;
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
}

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * kNanosecondsPerSecond + now.tv_nsec;
}

timespec to_timespec(int64_t ns) {
  return timespec{static_cast<time_t>(ns / kNanosecondsPerSecond),
                  static_cast<long>(ns % kNanosecondsPerSecond)};
}

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Waits until `aim` unless a stop is requested first (the descriptor becomes readable
// then). Checking the request before each wait closes the gap between check and wait.
// False when the wait ended for a stop.
bool wait_unless_stopped(int wake_fd, int64_t aim) {
  pollfd wake{wake_fd, POLLIN, 0};
  for (;;) {
    if (stop_requested()) return false;
    const int64_t left = aim - monotonic_ns();
    if (left <= 0) return true;
    const timespec timeout = to_timespec(left);
    ppoll(&wake, 1, &timeout, nullptr);
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
  prepare_thread_for_timely_wakeups();
  thread_local int64_t lateness_ns = kInitialLatenessNs;
  const int64_t deadline = monotonic_ns() + std::min(ms, kLongestSleepMs) * 1000000;
  const int64_t aim = deadline - lateness_ns - kSpinMarginNs;
  // With stop handlers installed a stop request ends the sleep early; while the stop
  // action runs, sleeps hold their time again (its frames keep the transport's pacing).
  const int wake_fd = stopping() ? -1 : stop_wake_fd();
  if (aim > monotonic_ns()) {
    if (wake_fd >= 0) {
      if (!wait_unless_stopped(wake_fd, aim)) return;
    } else {
      const timespec wake = to_timespec(aim);
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
      }
    }
    const int64_t sample = std::min(monotonic_ns() - aim, kLatenessCapNs);
    lateness_ns += (sample - lateness_ns) / 8;
  }
  while (monotonic_ns() < deadline) spin_pause();
}

Clock& clock() { return *current; }

void sleep_ms(int64_t ms) {
  clock().sleep_ms(ms);
  check_stop();
}

void set_clock(Clock* replacement) { current = replacement ? replacement : &system_clock; }

}  // namespace tapline::system
