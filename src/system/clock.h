// Time for the whole system: the millisecond tick count and sleeps that hold their time.
#pragma once

#include <cstdint>

namespace tapline::system {

// The OS clock behind the tick count and every sleep. Tests substitute their own to
// make sleeps short or to observe them.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since system start, wrapping at 2^32 (CLOCK_MONOTONIC).
  virtual uint32_t tick_ms() = 0;
  // Sleeps `ms` milliseconds measured from the call; negative counts as 0. The system
  // clock returns early when a stop is requested while stop handlers are installed.
  virtual void sleep_ms(int64_t ms) = 0;
};

// The system clock: CLOCK_MONOTONIC, sleeping to an absolute deadline so that signals
// and the sleep call's own overhead do not stretch or shorten the pause.
class SystemClock final : public Clock {
 public:
  uint32_t tick_ms() override;
  void sleep_ms(int64_t ms) override;
};

Clock& clock();
// Replaces the clock; nullptr restores the system clock.
void set_clock(Clock* replacement);

// Convenience forms used throughout. Every sleep is a safe point for a stop request
// (stop_request.h): the system clock wakes early on one, and the stop is acted on here.
inline uint32_t tick_ms() { return clock().tick_ms(); }
void sleep_ms(int64_t ms);

}  // namespace tapline::system
