// The device read thread over the hidapi test double: report decoding, delivery on the
// main thread, stopping, and read failures.
#include "transport/pin_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/usb_transport.h"
#include "usb_fixture.h"

namespace {

using tapline::TUsbReadThread;
using tapline::testing::captured;
using tapline::testing::pump_until;
using tapline::testing::record;
using tapline::testing::start_capture;
using tapline::testing::wait_until;

using Report = std::array<uint8_t, 64>;

constexpr const char* kPath = "/dev/hidraw3";

struct PinEvent {
  int pin_mask;
  int status_word;
  std::thread::id thread;
  bool operator==(const PinEvent&) const = default;
};

// Pin callbacks are plain functions; they note what reached them here.
std::mutex events_lock;
std::vector<PinEvent> first_events;
std::vector<PinEvent> second_events;

void note(std::vector<PinEvent>& events, int pin_mask, int status_word) {
  std::lock_guard lock(events_lock);
  events.push_back({pin_mask, status_word, std::this_thread::get_id()});
}
void first_callback(int pin_mask, int status_word) { note(first_events, pin_mask, status_word); }
void second_callback(int pin_mask, int status_word) { note(second_events, pin_mask, status_word); }
void closing_callback(int pin_mask, int status_word) {
  note(first_events, pin_mask, status_word);
  close_hiddev();
}

size_t count(const std::vector<PinEvent>& events) {
  std::lock_guard lock(events_lock);
  return events.size();
}

Report pins_report(std::initializer_list<std::pair<int, uint8_t>> bytes) {
  Report report{};
  for (const auto& [offset, value] : bytes) report[offset] = value;
  return report;
}

void feed(const Report& report) {
  hidapi_double::feed_input(kPath, std::vector<uint8_t>(report.begin(), report.end()));
}

class UsbReadThreadTest : public tapline::testing::UsbTest {
 protected:
  void SetUp() override {
    UsbTest::SetUp();
    {
      std::lock_guard lock(events_lock);
      first_events.clear();
      second_events.clear();
    }
    hidapi_double::set_devices({record(kPath, 0x5131, 0x2019, 3)});
  }

  void open_and_listen(tapline_pintrig_cb callback) {
    tapline::testing::start_capture();
    ASSERT_EQ(open_hiddev_default(), 1);
    tapline::testing::captured();
    set_pintrig_cb(callback);
    ASSERT_TRUE(tapline::pin_reader_running());
  }

  const std::thread::id main_thread = std::this_thread::get_id();
};

TEST(PinReportDecoding, PinMaskHasOneBitPerNonZeroPinByte) {
  const Report report = pins_report({{3, 0x7F}, {9, 1}, {34, 0x12}, {35, 0x34}});
  EXPECT_EQ(TUsbReadThread::pin_mask_of(report.data()), 0x208u);
  EXPECT_EQ(TUsbReadThread::status_word_of(report.data()), 0x1234u);

  EXPECT_EQ(TUsbReadThread::pin_mask_of(pins_report({{0, 0x80}}).data()), 1u);
  EXPECT_EQ(TUsbReadThread::pin_mask_of(pins_report({{0, 0x01}}).data()), 1u);
  Report all{};
  all.fill(0xFF);
  EXPECT_EQ(TUsbReadThread::pin_mask_of(all.data()), 0x3FFu);  // bytes past pin 9 never count
  EXPECT_EQ(TUsbReadThread::status_word_of(all.data()), 0xFFFFu);
  EXPECT_EQ(TUsbReadThread::pin_mask_of(pins_report({{10, 1}, {33, 1}}).data()), 0u);
}

TEST_F(UsbReadThreadTest, ReportWithActivePinsReachesTheCallbackOnTheMainThread) {
  open_and_listen(first_callback);
  feed(pins_report({{3, 0x7F}, {9, 1}, {34, 0x12}, {35, 0x34}}));
  ASSERT_TRUE(pump_until([] { return count(first_events) == 1; }));
  EXPECT_EQ(first_events[0], (PinEvent{0x208, 0x1234, main_thread}));
  EXPECT_EQ(clock_.sleeps(), std::vector<int64_t>{TUsbReadThread::kReportPauseMs});
}

TEST_F(UsbReadThreadTest, ReportWithoutActivePinsIsDroppedWithoutACall) {
  open_and_listen(first_callback);
  feed(pins_report({{34, 0xAB}, {35, 0xCD}, {20, 7}}));
  feed(pins_report({{0, 1}, {35, 2}}));
  ASSERT_TRUE(pump_until([] { return count(first_events) == 1; }));
  EXPECT_EQ(first_events[0], (PinEvent{0x1, 0x2, main_thread}));
  // Both reports were read and paused after; only the second was handed over.
  EXPECT_EQ(clock_.sleeps().size(), 2u);
}

TEST_F(UsbReadThreadTest, EveryReportIsDeliveredInOrderAndEachDeliveryWaits) {
  open_and_listen(first_callback);
  feed(pins_report({{0, 1}, {35, 1}}));
  feed(pins_report({{1, 1}, {35, 2}}));
  feed(pins_report({{2, 1}, {35, 3}}));
  // The read thread hands over one event at a time and waits for it to be made.
  ASSERT_TRUE(wait_until([] { return tapline::pin_delivery_pending(); }));
  EXPECT_EQ(run_pending_calls(), 1);
  ASSERT_TRUE(pump_until([] { return count(first_events) == 3; }));
  EXPECT_EQ(
      first_events,
      (std::vector<PinEvent>{{0x1, 1, main_thread}, {0x2, 2, main_thread}, {0x4, 3, main_thread}}));
  EXPECT_EQ(run_pending_calls(), 0);
}

TEST_F(UsbReadThreadTest, CallbackInstalledBeforeTheOpenStartsNoThread) {
  set_pintrig_cb(first_callback);
  EXPECT_FALSE(tapline::pin_reader_running());
  start_capture();
  ASSERT_EQ(open_hiddev_default(), 1);
  captured();
  EXPECT_FALSE(tapline::pin_reader_running());
  EXPECT_TRUE(hidapi_double::read_timeouts().empty());

  // Installing it again with the device open starts the reader.
  set_pintrig_cb(first_callback);
  EXPECT_TRUE(tapline::pin_reader_running());
  feed(pins_report({{5, 1}}));
  ASSERT_TRUE(pump_until([] { return count(first_events) == 1; }));
  EXPECT_EQ(first_events[0].pin_mask, 0x20);
}

TEST_F(UsbReadThreadTest, NewCallbackWhileRunningTakesTheNextDelivery) {
  open_and_listen(first_callback);
  feed(pins_report({{0, 1}}));
  ASSERT_TRUE(pump_until([] { return count(first_events) == 1; }));

  set_pintrig_cb(second_callback);
  feed(pins_report({{1, 1}}));
  ASSERT_TRUE(pump_until([] { return count(second_events) == 1; }));
  EXPECT_EQ(count(first_events), 1u);
  EXPECT_EQ(second_events[0].pin_mask, 0x2);
}

TEST_F(UsbReadThreadTest, RemovedCallbackLosesTheEventButTheThreadGoesOn) {
  open_and_listen(first_callback);
  set_pintrig_cb(nullptr);
  EXPECT_TRUE(tapline::pin_reader_running());
  feed(pins_report({{0, 1}}));
  ASSERT_TRUE(wait_until([] { return tapline::pin_delivery_pending(); }));
  EXPECT_EQ(run_pending_calls(), 1);

  set_pintrig_cb(first_callback);
  feed(pins_report({{2, 1}}));
  ASSERT_TRUE(pump_until([] { return count(first_events) == 1; }));
  EXPECT_EQ(first_events[0].pin_mask, 0x4);
}

TEST_F(UsbReadThreadTest, CloseEndsAThreadWaitingForAReportWithoutOne) {
  open_and_listen(first_callback);
  ASSERT_TRUE(hidapi_double::wait_for_waiting_read(std::chrono::seconds(10)));
  close_hiddev();
  EXPECT_FALSE(tapline::pin_reader_running());
  EXPECT_FALSE(tapline::usb_device_open());
  EXPECT_EQ(hidapi_double::closes_during_read(), 0);
  EXPECT_EQ(count(first_events), 0u);
  // Every read of the thread had a time-out, so no report was needed to end it.
  for (int timeout : hidapi_double::read_timeouts()) EXPECT_GT(timeout, 0);
}

TEST_F(UsbReadThreadTest, DeliveryPendingAtCloseIsStillMade) {
  open_and_listen(first_callback);
  feed(pins_report({{4, 9}, {34, 0x01}, {35, 0x02}}));
  ASSERT_TRUE(wait_until([] { return tapline::pin_delivery_pending(); }));
  close_hiddev();
  EXPECT_EQ(first_events, (std::vector<PinEvent>{{0x10, 0x0102, main_thread}}));
  EXPECT_FALSE(tapline::pin_reader_running());
  EXPECT_EQ(hidapi_double::closes_during_read(), 0);
}

TEST_F(UsbReadThreadTest, CallbackMayCloseTheDevice) {
  open_and_listen(closing_callback);
  feed(pins_report({{0, 1}}));
  ASSERT_TRUE(pump_until([] { return count(first_events) == 1; }));
  EXPECT_FALSE(tapline::usb_device_open());
  EXPECT_FALSE(tapline::pin_reader_running());
  EXPECT_EQ(hidapi_double::closes_during_read(), 0);
}

TEST_F(UsbReadThreadTest, ReopeningEndsTheThreadBeforeTheOldHandleCloses) {
  open_and_listen(first_callback);
  ASSERT_TRUE(hidapi_double::wait_for_waiting_read(std::chrono::seconds(10)));
  start_capture();
  EXPECT_EQ(open_hiddev_default(), 1);
  captured();
  EXPECT_FALSE(tapline::pin_reader_running());
  EXPECT_EQ(hidapi_double::closes_during_read(), 0);
  EXPECT_EQ(hidapi_double::open_handle_count(), 1);
}

TEST_F(UsbReadThreadTest, UnplugEndsTheThreadWithItsMessage) {
  open_and_listen(first_callback);
  start_capture();
  hidapi_double::unplug(kPath);
  const bool ended = wait_until([] { return !tapline::pin_reader_running(); });
  EXPECT_EQ(captured(), "usb read error!\n");
  ASSERT_TRUE(ended);
  EXPECT_EQ(count(first_events), 0u);
  // The device stays open for writing; writes now fail.
  EXPECT_TRUE(tapline::usb_device_open());
  const uint8_t data[1] = {0};
  EXPECT_EQ(hiddev_write(data, 1), -1);
}

TEST_F(UsbReadThreadTest, NewCallbackAfterAReadFailureStartsANewThread) {
  open_and_listen(first_callback);
  start_capture();
  hidapi_double::fail_reads(true);
  const bool ended = wait_until([] { return !tapline::pin_reader_running(); });
  EXPECT_EQ(captured(), "usb read error!\n");
  ASSERT_TRUE(ended);

  hidapi_double::fail_reads(false);
  set_pintrig_cb(first_callback);
  EXPECT_TRUE(tapline::pin_reader_running());
  feed(pins_report({{7, 1}}));
  ASSERT_TRUE(pump_until([] { return count(first_events) == 1; }));
  EXPECT_EQ(first_events[0].pin_mask, 0x80);
}

}  // namespace
