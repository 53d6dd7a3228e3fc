// What the device holds after the frames sent, and the reports that lift it.
#include "command/held_inputs.h"

#include <gtest/gtest.h>

#include <array>

#include "command_capture.h"

namespace tapline {
namespace {

using testing::CommandCapture;
using testing::FixedScreen;
using testing::keyboard_line;
using testing::report_line;
using Lines = std::vector<std::string>;

class HeldInputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_channel(1);
    forget_held_inputs();
    capture.take();
  }
  void TearDown() override {
    set_channel(1);
    forget_held_inputs();
  }
  CommandCapture capture;
};

TEST_F(HeldInputsTest, NothingHeldAfterCompleteCommands) {
  FixedScreen screen(1000, 1000);
  key_hid(0x04);
  key_action("Ctrl", 2);
  left_click();
  consumer(0xE9);
  joy(0x0103, 0, 0, 0, 0);
  touch_click(100, 200);
  absmouse(1, 10, 10, 0);
  absmouse(0, 10, 10, 0);
  EXPECT_FALSE(anything_held());
  capture.take();
  EXPECT_EQ(0, release_held_inputs());
  EXPECT_TRUE(capture.take().empty());
}

TEST_F(HeldInputsTest, PressesAreDecodedFromTheReports) {
  FixedScreen screen(4095, 4095);
  key_action("LShift", 0);
  key_action("a", 0);
  mouse(0x05, 3, 4, 0);
  absmouse(0x02, 300, 400, 0);
  const std::array<uint8_t, 7> joystick{0x01, 0x80};
  makeHid(TAPLINE_REPORT_JOYSTICK, joystick.data(), 7);
  const std::array<uint8_t, 7> play{0xCD, 0x00};
  makeHid(TAPLINE_REPORT_CONSUMER, play.data(), 7);
  touch(1, 1, 10, 20);
  touch(1, 7, 30, 40);

  const HeldInputs& state = held_inputs(1);
  EXPECT_TRUE(state.keyboard_held());
  EXPECT_EQ(0x02, state.keyboard[0]);
  EXPECT_EQ(0x04, state.keyboard[2]);
  EXPECT_EQ(0x05, state.mouse_buttons);
  EXPECT_EQ(0x02, state.absolute[0]);
  EXPECT_EQ(0x8001, state.joystick_buttons);
  EXPECT_EQ(0x00CD, state.consumer_usage);
  EXPECT_TRUE(state.touch_down[1]);
  EXPECT_TRUE(state.touch_down[7]);
  EXPECT_EQ(2u, state.touch_down.count());
  EXPECT_FALSE(held_inputs(0).any());

  touch_release(1);
  EXPECT_FALSE(held_inputs(1).touch_down[1]);
  EXPECT_TRUE(held_inputs(1).touch_down[7]);
}

TEST_F(HeldInputsTest, ReleaseLiftsEverythingHeldInOrderAndOnlyOnce) {
  FixedScreen screen(4095, 4095);
  key_action("a", 0);
  mouse(0x01, 5, 5, 0);
  absmouse(0x01, 300, 400, 0);
  touch(1, 2, 100, 200);
  const std::array<uint8_t, 7> joystick{0x04};
  makeHid(TAPLINE_REPORT_JOYSTICK, joystick.data(), 7);
  const std::array<uint8_t, 7> volume_up{0xE9};
  makeHid(TAPLINE_REPORT_CONSUMER, volume_up.data(), 7);
  capture.take();

  EXPECT_EQ(6, release_held_inputs());
  const Lines expected{
      keyboard_line(0),
      report_line(ReportType::Mouse, {0, 0, 0, 0, 0, 0, 0}),
      // The absolute pointer stays where it was: only its buttons are lifted.
      report_line(ReportType::AbsoluteMouse, {0, 0, 0x2C, 0x01, 0x90, 0x01, 0}),
      // A contact is lifted at its last position (touch area 1080 x 2408 scaling).
      report_line(ReportType::Touch, {0, 2, 0x7B, 0x01, 0x54, 0x01}),
      report_line(ReportType::Joystick, {0, 0, 0, 0, 0, 0, 0}),
      report_line(ReportType::Consumer, {0, 0, 0, 0, 0, 0, 0}),
  };
  EXPECT_EQ(expected, capture.take());
  EXPECT_FALSE(anything_held());
  EXPECT_EQ(0, release_held_inputs());
}

TEST_F(HeldInputsTest, EachChannelIsReleasedOnItsOwnChannel) {
  key_action("a", 0);  // channel 1
  set_channel(2);
  const std::array<uint8_t, 8> b_held{0, 0, 0x05};
  kb(b_held.data());
  set_channel(0);  // nothing held on the current channel
  capture.take();

  EXPECT_EQ(2, release_held_inputs());
  ASSERT_EQ(2u, capture.frames().size());
  EXPECT_EQ(0x41, capture.frames()[0][3]);  // keyboard on channel 1
  EXPECT_EQ(0x81, capture.frames()[1][3]);  // keyboard on channel 2
  EXPECT_FALSE(anything_held());
}

TEST_F(HeldInputsTest, ShortReportsFromAHostCountAsZeroBeyondTheirEnd) {
  const uint8_t modifier_only = 0x01;
  makeHid(TAPLINE_REPORT_KEYBOARD, &modifier_only, 1);
  EXPECT_TRUE(held_inputs(1).keyboard_held());
  makeHid(TAPLINE_REPORT_TOUCH, nullptr, 0);  // contact 0 up
  EXPECT_FALSE(held_inputs(1).touch_down[0]);
  makeHid(TAPLINE_REPORT_KEYBOARD, nullptr, 0);
  EXPECT_FALSE(anything_held());
}

TEST_F(HeldInputsTest, NothingIsNotedOrSentWithoutATransport) {
  set_send_cb(nullptr);
  key_action("a", 0);
  EXPECT_FALSE(anything_held());
  EXPECT_EQ(0, release_held_inputs());
}

}  // namespace
}  // namespace tapline
