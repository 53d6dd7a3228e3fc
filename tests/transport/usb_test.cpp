// The USB HID transport over the hidapi test double: device search, the output report,
// the implicit open and the pauses.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "command/frame.h"
#include "transport/usb_transport.h"
#include "usb_fixture.h"

namespace {

using hidapi_double::DeviceRecord;
using tapline::testing::captured;
using tapline::testing::record;
using tapline::testing::start_capture;
using tapline::testing::with_serial;

using Bytes = std::vector<uint8_t>;

class UsbCommTest : public tapline::testing::UsbTest {};

std::vector<uint8_t> frames_seen;
void other_transport(const uint8_t* frame, int length) {
  frames_seen.assign(frame, frame + length);
}

TEST_F(UsbCommTest, OpensInterfaceThreeAfterListingEveryRecordWalked) {
  hidapi_double::set_devices(
      {record("/dev/hidraw0", 0x5131, 0x2019, 0), record("/dev/hidraw1", 0x5131, 0x2019, 1),
       record("/dev/hidraw3", 0x5131, 0x2019, 3), record("/dev/hidraw4", 0x5131, 0x2019, 3)});
  start_capture();
  EXPECT_EQ(open_hiddev_default(), 1);
  // The chosen record's own line comes first; records after it are not listed.
  EXPECT_EQ(captured(),
            "VID:5131 PID:2019 Interface:0\n"
            "VID:5131 PID:2019 Interface:1\n"
            "VID:5131 PID:2019 Interface:3\n"
            "found device,devpath:/dev/hidraw3\n");
  EXPECT_EQ(hidapi_double::opened_paths(), std::vector<std::string>{"/dev/hidraw3"});
  EXPECT_EQ(hidapi_double::live_enumerations(), 0);
  EXPECT_TRUE(tapline::usb_device_open());
}

TEST_F(UsbCommTest, InterfaceTheLibraryCannotTellIsListedAndPassedOver) {
  hidapi_double::set_devices(
      {record("/dev/hidraw5", 0x5131, 0x2019, -1), record("/dev/hidraw6", 0x5131, 0x2019, 3)});
  start_capture();
  EXPECT_EQ(open_hiddev(0x5131, 0x2019, nullptr), 1);
  EXPECT_EQ(captured(),
            "VID:5131 PID:2019 Interface:-1\n"
            "VID:5131 PID:2019 Interface:3\n"
            "found device,devpath:/dev/hidraw6\n");
}

TEST_F(UsbCommTest, SecondIdentityIsTriedWhenTheFirstIsAbsent) {
  hidapi_double::set_devices({record("/dev/hidraw7", 0x5132, 0x2019, 3)});
  start_capture();
  EXPECT_EQ(open_hiddev_default(), 1);
  EXPECT_EQ(captured(),
            "usb open fail!\n"
            "VID:5132 PID:2019 Interface:3\n"
            "found device,devpath:/dev/hidraw7\n");
}

TEST_F(UsbCommTest, NeitherIdentityPresentFailsTwiceAndKeepsTheSendCallback) {
  set_send_cb(other_transport);
  start_capture();
  EXPECT_EQ(open_hiddev_default(), -1);
  EXPECT_EQ(captured(), "usb open fail!\nusb open fail!\n");
  EXPECT_FALSE(tapline::usb_device_open());
  EXPECT_EQ(hidapi_double::open_handle_count(), 0);

  frames_seen.clear();
  const std::array<uint8_t, 8> report{};
  EXPECT_EQ(tapline::send_report(tapline::ReportType::Keyboard, report.data(), report.size()), 1);
  EXPECT_EQ(frames_seen.size(), 12u);
}

TEST_F(UsbCommTest, CandidateTheLibraryCannotOpenReportsBothLines) {
  DeviceRecord device = record("/dev/hidraw8", 0x5131, 0x2019, 3);
  device.openable = false;
  hidapi_double::set_devices({device});
  start_capture();
  EXPECT_EQ(open_hiddev(0x5131, 0x2019, nullptr), -1);
  EXPECT_EQ(captured(),
            "VID:5131 PID:2019 Interface:3\n"
            "found device,devpath:/dev/hidraw8\n"
            "usb open fail!\n");
  EXPECT_FALSE(tapline::usb_device_open());
}

TEST_F(UsbCommTest, ZeroIdsListEveryInterfaceAndOpenOnlyARealZeroDevice) {
  hidapi_double::set_devices(
      {record("/dev/hidraw0", 0x046d, 0xc52b, 0), record("/dev/hidraw1", 0x5131, 0x2019, 3)});
  start_capture();
  EXPECT_EQ(open_hiddev(0, 0, nullptr), -1);
  EXPECT_EQ(captured(),
            "VID:46d PID:c52b Interface:0\n"
            "VID:5131 PID:2019 Interface:3\n"
            "usb open fail!\n");

  hidapi_double::set_devices({record("/dev/hidraw2", 0, 0, 3)});
  start_capture();
  EXPECT_EQ(open_hiddev(0, 0, nullptr), 1);
  EXPECT_EQ(captured(), "VID:0 PID:0 Interface:3\nfound device,devpath:/dev/hidraw2\n");
}

TEST_F(UsbCommTest, SerialNumberChoosesTheMatchingCandidateEvenAfterAMismatch) {
  hidapi_double::set_devices({
      record("/dev/hidraw0", 0x5131, 0x2019, 3),  // no serial number
      with_serial(record("/dev/hidraw1", 0x5131, 0x2019, 3), L"B-2"),
      with_serial(record("/dev/hidraw2", 0x5131, 0x2019, 0), L"A-1"),  // wrong interface
      with_serial(record("/dev/hidraw3", 0x5131, 0x2019, 3), L"A-1"),
      with_serial(record("/dev/hidraw4", 0x5131, 0x2019, 3), L"A-1"),
  });
  start_capture();
  EXPECT_EQ(open_hiddev(0x5131, 0x2019, L"A-1"), 1);
  EXPECT_EQ(captured(),
            "VID:5131 PID:2019 Interface:3\n"
            "VID:5131 PID:2019 Interface:3\n"
            "VID:5131 PID:2019 Interface:0\n"
            "VID:5131 PID:2019 Interface:3\n"
            "found device, with sn:/dev/hidraw3\n");
  EXPECT_EQ(hidapi_double::opened_paths(), std::vector<std::string>{"/dev/hidraw3"});
}

TEST_F(UsbCommTest, SerialNumberComparisonIsExactAndNeedsASerial) {
  hidapi_double::set_devices({record("/dev/hidraw0", 0x5131, 0x2019, 3),
                              with_serial(record("/dev/hidraw1", 0x5131, 0x2019, 3), L"A-1")});
  start_capture();
  EXPECT_EQ(open_hiddev(0x5131, 0x2019, L"a-1"), -1);
  EXPECT_EQ(open_hiddev(0x5131, 0x2019, L"A-"), -1);
  EXPECT_EQ(open_hiddev(0x5131, 0x2019, L""), -1);
  const std::string output = captured();
  EXPECT_EQ(output.find("found device"), std::string::npos);
  EXPECT_TRUE(hidapi_double::opened_paths().empty());
}

TEST_F(UsbCommTest, DevicePathOfAnyLengthIsUsedInFull) {
  const std::string path = "/dev/" + std::string(300, 'p');
  hidapi_double::set_devices({record(path, 0x5131, 0x2019, 3)});
  start_capture();
  EXPECT_EQ(open_hiddev_default(), 1);
  EXPECT_EQ(captured(), "VID:5131 PID:2019 Interface:3\nfound device,devpath:" + path + "\n");
  EXPECT_EQ(hidapi_double::opened_paths(), std::vector<std::string>{path});
}

TEST_F(UsbCommTest, HidapiIsInitialisedOnce) {
  hidapi_double::set_devices({record("/dev/hidraw3", 0x5131, 0x2019, 3)});
  ASSERT_EQ(open_hiddev_default(), 1);
  ASSERT_EQ(open_hiddev_default(), 1);
  EXPECT_EQ(hidapi_double::init_count(), 1);
}

TEST_F(UsbCommTest, LaterOpenReplacesAndClosesTheEarlierHandle) {
  hidapi_double::set_devices(
      {record("/dev/hidraw3", 0x5131, 0x2019, 3), record("/dev/hidraw9", 0x5132, 0x2019, 3)});
  ASSERT_EQ(open_hiddev(0x5131, 0x2019, nullptr), 1);
  ASSERT_EQ(open_hiddev(0x5132, 0x2019, nullptr), 1);
  EXPECT_EQ(hidapi_double::close_count(), 1);
  EXPECT_EQ(hidapi_double::open_handle_count(), 1);
  const uint8_t data[1] = {0x2C};
  EXPECT_EQ(hiddev_write(data, 1), tapline::kOutputReportSize);
  ASSERT_EQ(hidapi_double::writes().size(), 1u);
  EXPECT_EQ(hidapi_double::writes()[0].path, "/dev/hidraw9");

  // A failed open leaves no device, and the earlier one is released as well.
  EXPECT_EQ(open_hiddev(0x1234, 0x2019, nullptr), -1);
  EXPECT_EQ(hidapi_double::open_handle_count(), 0);
  EXPECT_FALSE(tapline::usb_device_open());
}

TEST_F(UsbCommTest, FrameOfTwelveBytesBecomesOneReportAfterReportIdZero) {
  hidapi_double::set_devices({record("/dev/hidraw3", 0x5131, 0x2019, 3)});
  ASSERT_EQ(open_hiddev_default(), 1);
  const std::array<uint8_t, 8> report{};
  ASSERT_EQ(tapline::send_report(tapline::ReportType::Keyboard, report.data(), report.size()), 1);

  Bytes expected(tapline::kOutputReportSize, 0);
  const Bytes frame{0x2C, 0x08, 0x41, 0x41, 0, 0, 0, 0, 0, 0, 0, 0};
  std::copy(frame.begin(), frame.end(), expected.begin() + 1);
  const auto writes = hidapi_double::writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].bytes, expected);
  EXPECT_EQ(clock_.sleeps(), std::vector<int64_t>{tapline::kUsbFramePauseMs});
}

TEST_F(UsbCommTest, DataLongerThanTheReportIsCutToSixtyFourBytes) {
  hidapi_double::set_devices({record("/dev/hidraw3", 0x5131, 0x2019, 3)});
  ASSERT_EQ(open_hiddev_default(), 1);
  Bytes data(100);
  std::iota(data.begin(), data.end(), 1);
  EXPECT_EQ(hiddev_write(data.data(), static_cast<int>(data.size())), 65);
  // Only the low 8 bits of the length count: 256 + 3 writes three bytes.
  EXPECT_EQ(hiddev_write(data.data(), 256 + 3), 65);

  const auto writes = hidapi_double::writes();
  ASSERT_EQ(writes.size(), 2u);
  Bytes cut(65, 0);
  std::copy(data.begin(), data.begin() + 64, cut.begin() + 1);
  EXPECT_EQ(writes[0].bytes, cut);
  Bytes three(65, 0);
  std::copy(data.begin(), data.begin() + 3, three.begin() + 1);
  EXPECT_EQ(writes[1].bytes, three);
}

TEST_F(UsbCommTest, WriteFailureIsReportedAndTheDeviceStaysOpen) {
  hidapi_double::set_devices({record("/dev/hidraw3", 0x5131, 0x2019, 3)});
  ASSERT_EQ(open_hiddev_default(), 1);
  const uint8_t data[4] = {1, 2, 3, 4};
  hidapi_double::fail_writes(true);
  start_capture();
  EXPECT_EQ(hiddev_write(data, 4), -1);
  EXPECT_EQ(captured(), "");
  EXPECT_TRUE(tapline::usb_device_open());

  hidapi_double::fail_writes(false);
  EXPECT_EQ(hiddev_write(data, 4), 65);
  EXPECT_EQ(hidapi_double::opened_paths().size(), 1u);
  EXPECT_EQ(hidapi_double::writes().size(), 1u);
}

TEST_F(UsbCommTest, WriteWithNoDeviceTriesToOpenOnEveryFrame) {
  const uint8_t data[2] = {0x2C, 0};
  start_capture();
  EXPECT_EQ(hiddev_write(data, 2), 0);
  EXPECT_EQ(hiddev_write(data, 2), 0);
  EXPECT_EQ(captured(), "usb open fail!\nusb open fail!\nusb open fail!\nusb open fail!\n");
  EXPECT_EQ(hidapi_double::enumerate_count(), 4);
  EXPECT_EQ(clock_.sleeps(),
            (std::vector<int64_t>{tapline::kImplicitOpenPauseMs, tapline::kImplicitOpenPauseMs}));

  // The device turns up: the next frame opens it and goes out, and the USB sink is in place.
  hidapi_double::set_devices({record("/dev/hidraw3", 0x5131, 0x2019, 3)});
  EXPECT_EQ(hiddev_write(data, 2), 65);
  EXPECT_EQ(hidapi_double::writes().size(), 1u);
  EXPECT_EQ(hiddev_write(data, 2), 65);
  EXPECT_EQ(clock_.sleeps().size(), 3u);  // no pause once a device is open
  const std::array<uint8_t, 8> report{};
  EXPECT_EQ(tapline::send_report(tapline::ReportType::Keyboard, report.data(), report.size()), 1);
  EXPECT_EQ(hidapi_double::writes().size(), 3u);
}

TEST_F(UsbCommTest, FrameSinkPausesAfterEveryFrameWhateverTheOutcome) {
  start_capture();
  tapline::usb_frame_sink(std::array<uint8_t, 12>{}.data(), 12);
  captured();
  EXPECT_EQ(clock_.sleeps(),
            (std::vector<int64_t>{tapline::kImplicitOpenPauseMs, tapline::kUsbFramePauseMs}));
}

TEST_F(UsbCommTest, CloseWithoutDeviceDoesNothingAndCloseKeepsTheSink) {
  start_capture();
  close_hiddev();
  EXPECT_EQ(captured(), "");
  EXPECT_EQ(hidapi_double::close_count(), 0);

  hidapi_double::set_devices({record("/dev/hidraw3", 0x5131, 0x2019, 3)});
  ASSERT_EQ(open_hiddev_default(), 1);
  close_hiddev();
  EXPECT_EQ(hidapi_double::close_count(), 1);
  EXPECT_FALSE(tapline::usb_device_open());
  // A frame after the close goes through the USB sink, which opens the device again.
  const std::array<uint8_t, 8> report{};
  start_capture();
  EXPECT_EQ(tapline::send_report(tapline::ReportType::Keyboard, report.data(), report.size()), 1);
  captured();
  EXPECT_EQ(hidapi_double::opened_paths().size(), 2u);
  EXPECT_EQ(hidapi_double::writes().size(), 1u);
}

TEST_F(UsbCommTest, ReadDeliversOneReportAndTakesTheLengthInEightBits) {
  uint8_t buffer[64] = {};
  EXPECT_EQ(hiddev_read(buffer, 64), -1);  // no device

  hidapi_double::set_devices({record("/dev/hidraw3", 0x5131, 0x2019, 3)});
  ASSERT_EQ(open_hiddev_default(), 1);
  Bytes report(64);
  std::iota(report.begin(), report.end(), 1);
  hidapi_double::feed_input("/dev/hidraw3", report);
  hidapi_double::feed_input("/dev/hidraw3", report);
  EXPECT_EQ(hiddev_read(buffer, 64), 64);
  EXPECT_EQ(Bytes(buffer, buffer + 64), report);
  EXPECT_EQ(hiddev_read(buffer, 256 + 8), 8);
  EXPECT_EQ(hidapi_double::read_timeouts(), (std::vector<int>{-1, -1}));  // waits without limit

  hidapi_double::fail_reads(true);
  EXPECT_EQ(hiddev_read(buffer, 64), -1);
}

}  // namespace
