// Mouse, absolute mouse, joystick, consumer, system power and device commands.
#include "command/pointer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_capture.h"

namespace tapline {
namespace {

using testing::absolute_line;
using testing::CommandCapture;
using testing::FixedScreen;
using testing::mouse_line;
using testing::report_line;
using testing::sleep_line;
using testing::usage_line;
using Lines = std::vector<std::string>;

class PointerTest : public ::testing::Test {
 protected:
  CommandCapture capture;
};

TEST_F(PointerTest, ClicksPressPauseAndRelease) {
  EXPECT_EQ(left_click(), 1);
  EXPECT_EQ(right_click(), 1);
  EXPECT_EQ(middle_click(), 1);
  EXPECT_EQ(left_right_click(), 1);
  Lines expected;
  for (uint8_t buttons : {1, 2, 4, 3}) {
    expected.push_back(mouse_line(buttons));
    expected.push_back(sleep_line(2));
    expected.push_back(mouse_line(0));
  }
  EXPECT_EQ(capture.take(), expected);
}

TEST_F(PointerTest, MouseFieldsAreCutToOneByte) {
  mouse(0x101, 300, -2, -1);
  EXPECT_EQ(mouse_release(), 1);
  EXPECT_EQ(capture.take(),
            (Lines{mouse_line(0x01, 0xFF, 0x2C, 0xFE), sleep_line(2), mouse_line(0)}));
}

TEST_F(PointerTest, WheelAndMove) {
  EXPECT_EQ(wheel(-1), 1);
  EXPECT_EQ(move(300, -2), 1);
  EXPECT_EQ(capture.take(), (Lines{mouse_line(0, 0xFF), sleep_line(2), mouse_line(0),
                                   mouse_line(0, 0, 0x2C, 0xFE), sleep_line(2), mouse_line(0)}));
}

TEST_F(PointerTest, AbsoluteMoveScalesHostPixelsInSinglePrecision) {
  FixedScreen screen(1920, 1080);
  EXPECT_EQ(absmove(1920, 1080), 1);
  absmove(0, 0);
  absmove(960, 540);
  EXPECT_EQ(capture.take(),
            (Lines{absolute_line(4095, 4095), absolute_line(0, 0), absolute_line(2047, 2047)}));
  // 4095 / 1366 in single precision falls just below the exact quotient.
  screen.resize(1366, 768);
  absmove(1366, 768);
  EXPECT_EQ(capture.take(), Lines{absolute_line(4094, 4095)});
}

TEST_F(PointerTest, AbsolutePositionsAreNotClamped) {
  FixedScreen screen(1920, 1080);
  absmove(3840, 0x10000 + 1080);  // x beyond the screen; y cut to 16 bits first
  absmouse(0x101, -10, 70000, 0x1FF);
  EXPECT_EQ(capture.take(), (Lines{absolute_line(8190, 4095),
                                   absolute_line(0xFFEB, static_cast<uint16_t>(265416), 1, 0xFF)}));
}

TEST_F(PointerTest, AbsoluteMouseWithoutAHostScreenSendsNothingAndSaysSoOnce) {
  FixedScreen screen(0, 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(absmove(10, 10), 0);
  EXPECT_EQ(absmouse(1, 10, 10, 0), 0);
  const std::string first = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(capture.take().empty());
  EXPECT_NE(first.find("screen size is unknown"), std::string::npos) << first;
  EXPECT_EQ(first.find("screen size is unknown"), first.rfind("screen size is unknown"));

  // A screen that comes and goes again is told about again.
  screen.resize(800, 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(absmove(10, 10), 0);
  EXPECT_TRUE(::testing::internal::GetCapturedStderr().empty());
  screen.resize(800, 600);
  EXPECT_EQ(absmove(800, 600), 1);
  screen.resize(0, 0);
  ::testing::internal::CaptureStderr();
  absmove(10, 10);
  EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
  EXPECT_EQ(capture.take(), Lines{absolute_line(4095, 4095)});

  EXPECT_EQ(absmouse_release(), 1);  // the release needs no scaling
  EXPECT_EQ(capture.take(), Lines{absolute_line(0, 0)});
}

TEST_F(PointerTest, JoystickPressesSixteenButtonsAndReleases) {
  EXPECT_EQ(joy(0x10003, 7, 8, 9, 10), 1);
  EXPECT_EQ(capture.take(), (Lines{usage_line(ReportType::Joystick, 0x0003), sleep_line(5),
                                   usage_line(ReportType::Joystick, 0)}));
}

TEST_F(PointerTest, ConsumerKeysPressPauseAndRelease) {
  EXPECT_EQ(consumer(0x10223), 1);
  EXPECT_EQ(capture.take(), (Lines{usage_line(ReportType::Consumer, 0x0223), sleep_line(10),
                                   usage_line(ReportType::Consumer, 0)}));
  EXPECT_EQ(vol_up(), 1);
  EXPECT_EQ(vol_down(), 1);
  EXPECT_EQ(android_home(), 1);
  EXPECT_EQ(android_menu(), 1);
  EXPECT_EQ(android_back(), 1);
  Lines expected;
  for (uint16_t usage : {0x00E9, 0x00EA, 0x0223, 0x0040, 0x0224}) {
    expected.push_back(usage_line(ReportType::Consumer, usage));
    expected.push_back(sleep_line(10));
    expected.push_back(usage_line(ReportType::Consumer, 0));
  }
  EXPECT_EQ(capture.take(), expected);
}

TEST_F(PointerTest, PowerRequestsHaveNoRelease) {
  EXPECT_EQ(power_down(), 1);
  EXPECT_EQ(power_sleep(), 1);
  EXPECT_EQ(capture.take(), (Lines{usage_line(ReportType::SystemControl, 1),
                                   usage_line(ReportType::SystemControl, 2)}));
}

TEST_F(PointerTest, DeviceCommandsAreWholeFrames) {
  EXPECT_EQ(dfu(), 1);
  EXPECT_EQ(reboot(), 1);
  ASSERT_EQ(capture.frames().size(), 2u);
  std::vector<uint8_t> expected(20, 0);
  const uint8_t head[] = {0x2C, 0x10, 0x47, 0x48, 0xF3, 0x0C};
  std::copy(std::begin(head), std::end(head), expected.begin());
  EXPECT_EQ(capture.frames()[0], expected);
  expected[4] = 0xF1;
  expected[5] = 0x0E;
  EXPECT_EQ(capture.frames()[1], expected);
}

TEST_F(PointerTest, WithoutATransportDelaysStayAndResultsAreZero) {
  FixedScreen screen(100, 100);
  set_send_cb(nullptr);
  EXPECT_EQ(left_click(), 0);
  EXPECT_EQ(joy(1, 0, 0, 0, 0), 0);
  EXPECT_EQ(consumer(0xE9), 0);
  EXPECT_EQ(absmove(1, 1), 0);
  EXPECT_EQ(power_down(), 0);
  EXPECT_EQ(reboot(), 0);
  EXPECT_EQ(capture.take(), (Lines{sleep_line(2), sleep_line(5), sleep_line(10)}));
}

}  // namespace
}  // namespace tapline
