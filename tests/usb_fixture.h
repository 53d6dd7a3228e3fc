// Shared set-up of the USB transport tests: the hidapi test double, a clock that records
// pauses instead of sleeping, and helpers to capture standard output and pump deliveries.
#pragma once

#include <gtest/gtest.h>
#include <hidapi_double.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tapline.h"

namespace usb_test {

// Records every pause and advances its tick count by it, without sleeping.
class RecordingClock final : public tapline::platform::Clock {
 public:
  uint32_t tick_ms() override {
    std::lock_guard lock(lock_);
    return now_;
  }
  void sleep_ms(int64_t ms) override {
    std::lock_guard lock(lock_);
    sleeps_.push_back(ms);
    now_ += static_cast<uint32_t>(ms < 0 ? 0 : ms);
  }
  std::vector<int64_t> sleeps() {
    std::lock_guard lock(lock_);
    return sleeps_;
  }

 private:
  std::mutex lock_;
  uint32_t now_ = 0;
  std::vector<int64_t> sleeps_;
};

inline hidapi_double::DeviceRecord record(std::string path, uint16_t vendor_id, uint16_t product_id,
                                          int interface_number) {
  hidapi_double::DeviceRecord device;
  device.path = std::move(path);
  device.vendor_id = vendor_id;
  device.product_id = product_id;
  device.interface_number = interface_number;
  return device;
}

inline hidapi_double::DeviceRecord with_serial(hidapi_double::DeviceRecord device,
                                               std::wstring serial_number) {
  device.serial_number = std::move(serial_number);
  return device;
}

inline void start_capture() {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
}

inline std::string captured() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Runs pending deliveries until `done` holds. The limit only keeps a broken build from
// hanging the test run; it measures nothing.
template <typename Done>
bool pump_until(Done done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    run_pending_calls();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

template <typename Done>
bool wait_until(Done done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class UsbTest : public testing::Test {
 protected:
  void SetUp() override {
    hidapi_double::reset();
    tapline::platform::set_clock(&clock_);
    set_send_cb(nullptr);
  }
  void TearDown() override {
    close_hiddev();  // first: ends any read thread while the clock still exists
    set_pintrig_cb(nullptr);
    set_send_cb(nullptr);
    tapline::platform::set_clock(nullptr);
    hidapi_double::reset();
  }

  RecordingClock clock_;
};

}  // namespace usb_test
