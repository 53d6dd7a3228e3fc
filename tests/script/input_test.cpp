// The script input functions as a script calls them: which reports leave, in which
// order, with which pauses, and how their arguments are read.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "command_capture.h"
#include "script_state.h"
#include "tapline.h"

namespace {

using tapline::ReportType;
using tapline::testing::CommandCapture;
using tapline::testing::mouse_line;
using tapline::testing::ScriptState;
using tapline::testing::touch_line;
using tapline::testing::usage_line;
using Lines = std::vector<std::string>;

std::string report(const char* type, std::initializer_list<int> bytes) {
  std::string line = type;
  for (int byte : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", byte & 0xFF);
    line += hex;
  }
  return line;
}

std::string keys(int modifiers, int usage) {
  return report("Keyboard", {modifiers, 0, usage, 0, 0, 0, 0, 0});
}
const std::string kKeysUp = keys(0, 0);

const std::string kMouseUp = mouse_line(0);
const std::string kLift = touch_line(0, 0, 0, 0);

class InputBindings : public ::testing::Test {
 protected:
  void SetUp() override {
    // Held keys and the touch area are process-wide: start every test from the initial
    // state, without recording what that sends.
    key_action("", 1);
    touch_set(1080, 2408);
    capture_.take();
  }

  Lines run(const std::string& chunk) {
    capture_.take();
    script_.run(chunk);
    return capture_.take();
  }

  // The frames of the chunk, whole.
  std::vector<std::vector<uint8_t>> raw_frames(const std::string& chunk) {
    capture_.take();
    script_.run(chunk);
    return capture_.frames();
  }

  tapline::testing::FixedScreen screen_{1920, 1080};
  CommandCapture capture_;
  ScriptState script_;
};

TEST_F(InputBindings, DeviceAndPowerCommandsSendOneFrameEach) {
  EXPECT_EQ(run("reboot()"),
            Lines{report("DeviceCommand", {0xF1, 0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})});
  EXPECT_EQ(run("dfu()"),
            Lines{report("DeviceCommand", {0xF3, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})});
  EXPECT_EQ(run("PowerDown()"), Lines{report("SystemControl", {1, 0, 0, 0, 0, 0, 0})});
  EXPECT_EQ(run("PowerSleep()"), Lines{report("SystemControl", {2, 0, 0, 0, 0, 0, 0})});
  // The device command frame, byte for byte: 20 bytes, length 0x10, checksum 0x47.
  std::vector<uint8_t> dfu_frame{0x2C, 0x10, 0x47, 0x48, 0xF3, 0x0C};
  dfu_frame.resize(20);
  EXPECT_EQ(raw_frames("dfu()"), std::vector<std::vector<uint8_t>>{dfu_frame});
}

TEST_F(InputBindings, ConsumerKeysPressAndRelease) {
  const auto tap = [](int usage) {
    return Lines{usage_line(ReportType::Consumer, usage), "sleep 10",
                 usage_line(ReportType::Consumer, 0)};
  };
  EXPECT_EQ(run("consumer(0x223)"), tap(0x223));
  EXPECT_EQ(run("Consumer('233')"), tap(0xE9));           // a numeric text counts as its number
  EXPECT_EQ(run("consumer(0x10000 + 0xEA)"), tap(0xEA));  // cut to 16 bits by the command
  EXPECT_EQ(run("consumer()"), tap(0));
}

TEST_F(InputBindings, ClicksAndButtons) {
  const auto click = [](int buttons) {
    return Lines{mouse_line(buttons, 0, 0, 0), "sleep 2", kMouseUp};
  };
  EXPECT_EQ(run("LeftClick()"), click(1));
  EXPECT_EQ(run("RightClick()"), click(2));
  EXPECT_EQ(run("MiddleClick()"), click(4));
  EXPECT_EQ(run("LeftRightClick()"), click(3));
  Lines twice = click(1);
  const Lines once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(run("LeftDoubleClick()"), twice);

  EXPECT_EQ(run("LeftDown()"), (Lines{mouse_line(1, 0, 0, 0), "sleep 2"}));
  EXPECT_EQ(run("RightDown()"), (Lines{mouse_line(2, 0, 0, 0), "sleep 2"}));
  EXPECT_EQ(run("MiddleDown()"), (Lines{mouse_line(4, 0, 0, 0), "sleep 2"}));
  // Any "up" releases every button: LeftDown then RightUp lets go of the left button.
  EXPECT_EQ(run("LeftDown() RightUp()"),
            (Lines{mouse_line(1, 0, 0, 0), "sleep 2", kMouseUp, "sleep 2"}));
  EXPECT_EQ(run("LeftUp()"), (Lines{kMouseUp, "sleep 2"}));
  EXPECT_EQ(run("MiddleUp()"), (Lines{kMouseUp, "sleep 2"}));
}

TEST_F(InputBindings, WheelAndRelativeMoveSendOneReportEach) {
  EXPECT_EQ(run("MouseWheel(-1)"), (Lines{mouse_line(0, 0xFF, 0, 0), "sleep 2", kMouseUp}));
  EXPECT_EQ(run("MouseWheel('3')"), (Lines{mouse_line(0, 3, 0, 0), "sleep 2", kMouseUp}));
  // Not split: 200 goes out as its low byte in one report.
  EXPECT_EQ(run("MoveR(200, 0)"), (Lines{mouse_line(0, 0, 0xC8, 0), "sleep 2", kMouseUp}));
  // Fractions are cut toward zero before the command cuts to 8 bits.
  EXPECT_EQ(run("MoveR(300.9, -2.7)"), (Lines{mouse_line(0, 0, 0x2C, 0xFE), "sleep 2", kMouseUp}));
  EXPECT_EQ(run("MoveR(5)"), (Lines{mouse_line(0, 0, 5, 0), "sleep 2", kMouseUp}));
  EXPECT_EQ(run("MoveR('x', {})"), (Lines{mouse_line(0, 0, 0, 0), "sleep 2", kMouseUp}));
}

TEST_F(InputBindings, MoveToScalesHostPixelsToTheAbsoluteRange) {
  // 1920 x 1080 host screen: the centre is 2047 on both axes, the origin 0.
  EXPECT_EQ(run("MoveTo(960, '540')"),
            Lines{report("AbsoluteMouse", {0, 0, 0xFF, 0x07, 0xFF, 0x07, 0})});
  EXPECT_EQ(run("MoveTo()"), Lines{report("AbsoluteMouse", {0, 0, 0, 0, 0, 0, 0})});
}

TEST_F(InputBindings, KeyReadsModifierNamesAsSubstrings) {
  // "a" is no special name, so it is typed as a character: press, lift, 30 ms.
  EXPECT_EQ(run("key('a', 'RCTRL LALT')"), (Lines{keys(0x14, 0x04), kKeysUp, "sleep 30"}));
  // A special name: press and lift, no pause. Separators do not matter.
  EXPECT_EQ(run("key('Enter', 'LCTRL+LSHIFT')"), (Lines{keys(0x03, 0x28), kKeysUp}));
  EXPECT_EQ(run("Key('Enter', 'LSHIFTLCTRL')"), (Lines{keys(0x03, 0x28), kKeysUp}));
  EXPECT_EQ(run("key('F9', 'LGUI')"), (Lines{keys(0x08, 0x42), kKeysUp}));
  EXPECT_EQ(run("key('F9', 'LWIN RGUI RSHIFT RALT')"), (Lines{keys(0xE8, 0x42), kKeysUp}));
  // Lower case names and "RWIN" are not modifier names.
  EXPECT_EQ(run("key('F9', 'lctrl RWIN')"), (Lines{keys(0, 0x42), kKeysUp}));
  EXPECT_EQ(run("key('F9')"), (Lines{keys(0, 0x42), kKeysUp}));
  EXPECT_EQ(run("key('F9', {})"), (Lines{keys(0, 0x42), kKeysUp}));
  // An empty name with modifiers presses the modifiers alone.
  EXPECT_EQ(run("key('', 'LALT')"), (Lines{keys(0x04, 0), kKeysUp}));
  // A number is a name in its text form.
  EXPECT_EQ(run("key(5)"), (Lines{keys(0, 0x22), kKeysUp, "sleep 30"}));
  EXPECT_TRUE(run("key()").empty());
  EXPECT_TRUE(run("key(nil, 'LCTRL')").empty());
  EXPECT_TRUE(run("key({}, 'LCTRL')").empty());
}

TEST_F(InputBindings, VKGivesVirtualKeyCodesAsIntegers) {
  EXPECT_EQ(script_.integer("VK(' enter ')"), 0x0D);
  EXPECT_EQ(script_.integer("VK('a')"), 0x41);
  EXPECT_EQ(script_.integer("VK('rwin')"), 0x5C);
  EXPECT_EQ(script_.integer("VK('F12')"), 0x7B);
  EXPECT_EQ(script_.integer("VK('NoSuchKey')"), 0);
  EXPECT_EQ(script_.integer("VK()"), 0);
  EXPECT_EQ(script_.integer("VK({})"), 0);
  EXPECT_EQ(script_.integer("VK(7)"), '7');  // one character after conversion to text
  EXPECT_EQ(script_.result_count("VK('a')"), 1);
  EXPECT_TRUE(capture_.take().empty());
}

TEST_F(InputBindings, KeyHidTapsOneUsage) {
  EXPECT_EQ(run("key_hid(4)"), (Lines{keys(0, 0x04), kKeysUp}));
  EXPECT_EQ(run("key_hid('0x28')"), (Lines{keys(0, 0x28), kKeysUp}));
  EXPECT_EQ(run("key_hid(0x129)"), (Lines{keys(0, 0x29), kKeysUp}));
}

TEST_F(InputBindings, KeyDownUpPressTrackHeldKeys) {
  EXPECT_EQ(run("KeyDown('LShift')"), Lines{keys(0x02, 0)});
  EXPECT_EQ(run("KeyPress('a')"), (Lines{keys(0x02, 0x04), keys(0x02, 0)}));
  EXPECT_EQ(run("KeyUp('LShift')"), Lines{kKeysUp});
  EXPECT_EQ(run("KeyDown('Ctrl') KeyDown('c')"), (Lines{keys(0x01, 0), keys(0x01, 0x06)}));
  EXPECT_EQ(run("KeyUp('c') KeyUp('Ctrl')"), (Lines{keys(0x01, 0), kKeysUp}));
  EXPECT_TRUE(run("KeyDown() KeyUp() KeyPress() KeyPress({})").empty());
}

TEST_F(InputBindings, SayStringTypesAltCodes) {
  // "A" in the code page is 65 * 256 = 16640: digits 1, 6, 6, 4, 0 on the keypad with Alt.
  Lines expected;
  for (int usage : {0x59, 0x5E, 0x5E, 0x5C, 0x62}) {
    expected.push_back(keys(0x04, usage));
    expected.push_back(keys(0x04, 0));
  }
  expected.push_back(kKeysUp);
  expected.push_back("sleep 10");
  EXPECT_EQ(run("SayString('A')"), expected);
  EXPECT_TRUE(run("SayString()").empty());
  // The unicode form ends with a lift even for an absent text.
  EXPECT_EQ(run("SayStringUnicode()"), Lines{kKeysUp});
  EXPECT_EQ(run("SayStringUnicode({})"), Lines{kKeysUp});
}

TEST_F(InputBindings, TouchChoosesByArgumentCount) {
  // 540, 1204 on the initial 1080 x 2408 area is 2047, 2047.
  EXPECT_EQ(run("Touch(540, 1204)"), Lines{touch_line(1, 0, 2047, 2047)});
  EXPECT_EQ(run("touch(0, 540, 1204)"), Lines{touch_line(0, 0, 2047, 2047)});
  EXPECT_EQ(run("Touch(1, 1, 540, 1204)"), Lines{touch_line(1, 1, 2047, 2047)});
  EXPECT_EQ(run("Touch('1', 1.9, '540', 1204.7)"), Lines{touch_line(1, 1, 2047, 2047)});
  EXPECT_TRUE(run("Touch() Touch(5) Touch(1, 2, 3, 4, 5)").empty());
  // The exact frame of a touch at the centre.
  EXPECT_EQ(raw_frames("Touch(540, 1204)"),
            (std::vector<std::vector<uint8_t>>{
                {0x2C, 0x06, 0x54, 0x47, 0x01, 0x00, 0xFF, 0x07, 0xFF, 0x07}}));
}

TEST_F(InputBindings, TouchSetChangesTheCoordinateSpace) {
  EXPECT_TRUE(run("TouchSet(2000, 1000)").empty());
  EXPECT_EQ(run("Touch(1000, 500)"), Lines{touch_line(1, 0, 2047, 2047)});
  EXPECT_EQ(run("Touch(2000, 1000)"), Lines{touch_line(1, 0, 4095, 4095)});
}

TEST_F(InputBindings, TouchReleaseLiftsOneContact) {
  EXPECT_EQ(run("TouchRelease()"), Lines{kLift});
  EXPECT_EQ(run("UnTouch(1)"), Lines{touch_line(0, 1, 0, 0)});
  EXPECT_EQ(run("TouchRelease('1')"), Lines{touch_line(0, 1, 0, 0)});
}

TEST_F(InputBindings, TouchSlideTakesAnOptionalInterval) {
  // 100..300 on a 1080 x 2408 area: y = 100, 150, 200, 250 scaled by 4095 / 2408.
  const auto slide = [](int interval) {
    Lines lines;
    for (int y : {100, 150, 200, 250}) {
      lines.push_back(touch_line(1, 0, 100 * 4095 / 1080, y * 4095 / 2408));
      lines.push_back("sleep " + std::to_string(interval));
    }
    lines.push_back(kLift);
    return lines;
  };
  EXPECT_EQ(run("TouchSlide(100, 100, 100, 300)"), slide(20));
  EXPECT_EQ(run("TouchSlide(100, 100, 100, 300, 5)"), slide(5));
  EXPECT_EQ(run("TouchSlide('100', 100.5, 100, 300, '7')"), slide(7));
  // An interval of 0 (or nil) falls back to the command's 20 ms.
  EXPECT_EQ(run("TouchSlide(100, 100, 100, 300, nil)"), slide(20));
  EXPECT_TRUE(run("TouchSlide(100, 200, 300) TouchSlide()").empty());
}

TEST_F(InputBindings, JoyKeyPressesOneButton) {
  const auto tap = [](int mask) {
    return Lines{usage_line(ReportType::Joystick, mask), "sleep 5",
                 usage_line(ReportType::Joystick, 0)};
  };
  EXPECT_EQ(run("joyKey(3)"), tap(0x0008));
  EXPECT_EQ(run("joyKey(0)"), tap(0x0001));
  EXPECT_EQ(run("joyKey(15)"), tap(0x8000));
  EXPECT_EQ(run("joyKey(16)"), tap(0));       // 16..31 fall outside the 16 buttons
  EXPECT_EQ(run("joyKey(32)"), tap(0x0001));  // only the low five bits count
  EXPECT_EQ(run("joyKey('3.9')"), tap(0x0008));
  EXPECT_EQ(run("joyKey(-1)"), tap(0));  // -1 & 31 is 31
  EXPECT_EQ(run("joyKey()"), tap(0x0001));
}

TEST_F(InputBindings, FunctionsReturnNothingAndRaiseNoErrors) {
  for (const char* call : {"LeftClick()", "MoveR({}, 'x')", "Touch(1, 2)", "TouchSlide(1, 2, 3)",
                           "joyKey(true)", "consumer(function() end)", "key('F1', 12)"})
    EXPECT_EQ(script_.result_count(call), 0) << call;
}

TEST_F(InputBindings, NothingIsSentWithoutATransport) {
  set_send_cb(nullptr);
  script_.run("LeftClick() KeyPress('a') Touch(1, 2) consumer(5)");
  EXPECT_TRUE(capture_.frames().empty());
  EXPECT_EQ(capture_.slept_ms(), 2 + 10);  // the commands still take their pauses
}

}  // namespace
