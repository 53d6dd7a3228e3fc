// Shared set-up of the USB transport tests: the hidapi test double, the test clock, and
// helpers to capture standard output and pump deliveries. Only programs linking
// hidapi_double include it.
#pragma once

#include <gtest/gtest.h>
#include <hidapi_double.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tapline.h"
#include "test_clock.h"

namespace tapline::testing {

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
  ::testing::internal::CaptureStdout();
}

inline std::string captured() {
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
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

class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hidapi_double::reset();
    set_send_cb(nullptr);
  }
  void TearDown() override {
    close_hiddev();  // first: ends any read thread while the clock still exists
    set_pintrig_cb(nullptr);
    set_send_cb(nullptr);
    hidapi_double::reset();
  }

  TestClock clock_;
};

}  // namespace tapline::testing
