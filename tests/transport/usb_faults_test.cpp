// USB faults while a script runs: writes that fail, a device unplugged and plugged back,
// and lifting what is held over USB. Losses are said on standard error with their count,
// an unplugged device is opened again when it returns, and nothing stops the run.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "command/held_inputs.h"
#include "transport/usb_transport.h"
#include "usb_fixture.h"

namespace {

using tapline::testing::record;

const std::string kPath = "/dev/hidraw3";

// The 65-byte output report that carries a keyboard frame on channel 1.
std::vector<uint8_t> keyboard_report(uint8_t usage) {
  std::vector<uint8_t> bytes(65, 0);
  const uint8_t frame[12] = {0x2C, 0x08, static_cast<uint8_t>(0x41 + usage), 0x41, 0, 0, usage};
  std::copy(std::begin(frame), std::end(frame), bytes.begin() + 1);
  return bytes;
}

class UsbFaultsTest : public tapline::testing::UsbTest {
 protected:
  void SetUp() override {
    UsbTest::SetUp();
    tapline::forget_held_inputs();
    hidapi_double::set_devices({record(kPath, 0x5131, 0x2019, 3)});
    tapline::testing::start_capture();
    ASSERT_EQ(open_hiddev_default(), 1);
    tapline::testing::captured();
  }
  void TearDown() override {
    tapline::forget_held_inputs();
    UsbTest::TearDown();
  }
};

TEST_F(UsbFaultsTest, FailingWritesAreCountedAndSaidOnceThenTheirEnd) {
  testing::internal::CaptureStderr();
  hidapi_double::fail_writes(true);
  key_hid(0x04);  // press and release: two frames lost
  hidapi_double::fail_writes(false);
  key_hid(0x05);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said,
            "tapline: a frame could not be written to the USB device and is lost\n"
            "tapline: the USB device takes frames again; 2 frames were lost\n");
  EXPECT_TRUE(tapline::usb_device_open());  // still listed: the handle is kept
  ASSERT_EQ(hidapi_double::writes().size(), 2u);
  EXPECT_EQ(hidapi_double::writes()[0].bytes, keyboard_report(0x05));
}

TEST_F(UsbFaultsTest, UnpluggedDeviceIsOpenedAgainWhenItReturns) {
  key_action("a", 0);  // held on the target
  testing::internal::CaptureStderr();
  tapline::testing::start_capture();
  hidapi_double::unplug(kPath);
  key_action("b", 2);  // two frames into the void; the dead handle is closed
  EXPECT_FALSE(tapline::usb_device_open());
  hidapi_double::set_devices({record(kPath, 0x5131, 0x2019, 3)});
  key_action("c", 2);  // opened again: both frames go out
  const std::string out = tapline::testing::captured();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("tapline: the USB device /dev/hidraw3 is gone; it is opened again when "
                      "it returns\n"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("the USB device takes frames again; 2 frames were lost\n"), std::string::npos)
      << said;
  EXPECT_NE(out.find("usb open fail!\n"), std::string::npos) << out;
  EXPECT_EQ(hidapi_double::opened_paths(), (std::vector<std::string>{kPath, kPath}));
  EXPECT_EQ(hidapi_double::writes().size(), 3u);  // a down, then c down and c up
}

TEST_F(UsbFaultsTest, HeldKeysAreLiftedOverUsb) {
  key_action("LShift", 0);
  key_action("a", 0);
  mouse(0x01, 0, 0, 0);
  const size_t before = hidapi_double::writes().size();
  EXPECT_EQ(tapline::release_held_inputs(), 2);
  const auto writes = hidapi_double::writes();
  ASSERT_EQ(writes.size(), before + 2);
  EXPECT_EQ(writes[before].bytes, keyboard_report(0));
  EXPECT_EQ(writes[before + 1].bytes[4], 0x45);  // a mouse report
  EXPECT_EQ(writes[before + 1].bytes[5], 0x00);  // without buttons
  EXPECT_FALSE(tapline::anything_held());
}

}  // namespace
