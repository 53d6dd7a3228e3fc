// The clock of every test and fuzz target: time moves only when something sleeps, by
// exactly the pause asked for, so nothing waits and every pause can be checked. Installed
// as the process clock for its lifetime. Transports sleep on threads of their own, hence
// the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "system/clock.h"

namespace tapline::testing {

class TestClock final : public system::Clock {
 public:
  // `record`: keep every pause for sleeps(); off where millions of pauses are taken.
  explicit TestClock(bool record = true) : record_(record) { system::set_clock(this); }
  ~TestClock() override { system::set_clock(nullptr); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  uint32_t tick_ms() override {
    std::lock_guard guard(lock_);
    return now_ms_;
  }
  void sleep_ms(int64_t ms) override {
    std::function<void(int64_t)> listener;
    {
      std::lock_guard guard(lock_);
      if (record_) sleeps_.push_back(ms);
      if (ms > 0) now_ms_ += static_cast<uint32_t>(ms);
      listener = listener_;
    }
    if (listener) listener(ms);
  }

  void set_tick(uint32_t ms) {
    std::lock_guard guard(lock_);
    now_ms_ = ms;
  }
  // The pauses taken since the last take_sleeps, in order.
  std::vector<int64_t> sleeps() {
    std::lock_guard guard(lock_);
    return sleeps_;
  }
  std::vector<int64_t> take_sleeps() {
    std::lock_guard guard(lock_);
    return std::exchange(sleeps_, {});
  }
  // Called with every pause, after it is counted.
  void on_sleep(std::function<void(int64_t)> listener) {
    std::lock_guard guard(lock_);
    listener_ = std::move(listener);
  }

 private:
  std::mutex lock_;
  const bool record_;
  uint32_t now_ms_ = 0;
  std::vector<int64_t> sleeps_;
  std::function<void(int64_t)> listener_;
};

}  // namespace tapline::testing
