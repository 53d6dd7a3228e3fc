// The text command language: parsing, every command word and sub-word, every rejection.
#include "command/interpreter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "command/keyboard.h"
#include "command/touch.h"
#include "command_capture.h"

namespace tapline {
namespace {

using testing::CommandCapture;
using testing::FixedScreen;
using testing::keyboard_line;
using testing::mouse_line;
using testing::report_line;
using testing::sleep_line;
using testing::touch_line;
using testing::usage_line;
using Lines = std::vector<std::string>;

const std::string kAllUp = keyboard_line(0);

const std::string kLift = touch_line(0, 0, 0, 0);

class InterpreterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The interpreter's held keys and mouse bytes outlive each command.
    quill5_cmd("key:release,x");
    quill5_cmd("mouse:hid,0000000000000000");
    touch_set(4095, 4095);  // touch coordinates travel unscaled
    capture.take();
  }
  void TearDown() override { touch_set(1080, 2408); }

  // Runs a command, expecting `result`, and returns what it sent and paused.
  Lines run(const char* command, int result = 1) {
    EXPECT_EQ(quill5_cmd(command), result) << command;
    return capture.take();
  }

  CommandCapture capture;
};

TEST_F(InterpreterTest, TextsRefusedOrIgnoredSendNothing) {
  // No command, a command word of 15 bytes, more than 10 parameters, numbers missing.
  for (const char* text :
       {"key press a", "key:", "key:,,,", "abcdefghijklmno:x", "joy:1,2,3,4,5,6,7,8,9,10,11",
        "key:press,a,1,2,3,4,5,6,7,8,9", "mouse:wheel", "mouse:wheel,,", "mouse:move,5",
        "mouse:absmove,5", "mouse:hid", "consumer:value,0xZZ",
        "consumer:value,0x100000000" /* more than 8 digits */, "consumer:value", "touch:click",
        "touch:click,5", "touch:longclick,5", "touch:dbclick"})
    EXPECT_TRUE(run(text, 0).empty()) << text;
  EXPECT_EQ(quill5_cmd(nullptr), 0);
  // Words compared case-sensitively, unknown sub-words, parameter counts a word does not
  // use: accepted, and nothing is sent.
  for (const char* text : {"abcdefghijklmn:x", "Key:press,a", "TOUCH:click,1,1", "beep:1",
                           "joy:1,2,3,4,5,6,7,8,9,10", "mouse:jump,1,2"})
    EXPECT_TRUE(run(text).empty()) << text;
}

TEST_F(InterpreterTest, ParametersAreTrimmedAndEmptyPiecesDropped) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run("key:,, press ,,\tb\r\n"), (Lines{keyboard_line(0, {0x05}), kAllUp}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "b hidcode:5\n");
}

TEST_F(InterpreterTest, TheCallersTextIsLeftAlone) {
  char text[] = "key:press, a ,1";
  const std::string before = text;
  ::testing::internal::CaptureStdout();
  quill5_cmd(text);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(text, sizeof text - 1), before);
}

TEST_F(InterpreterTest, KeyPressPrintsTheUsageAndTaps) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run("key:press,a"), (Lines{keyboard_line(0, {0x04}), kAllUp}));
  EXPECT_EQ(run("key:press,~"), (Lines{kAllUp, kAllUp}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a hidcode:4\n~ hidcode:ff\n");
}

TEST_F(InterpreterTest, KeyPressOfTheCommaItself) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run("key:press,,"), (Lines{keyboard_line(0, {0x36}), kAllUp}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(InterpreterTest, KeyDownAndUpHoldModifiers) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run("key:down,LCtrl"), Lines{keyboard_line(0x01)});
  EXPECT_EQ(run("key:press,c"), (Lines{keyboard_line(0x01, {0x06}), keyboard_line(0x01)}));
  EXPECT_EQ(run("key:keydown, F5 "), Lines{keyboard_line(0x01, {0x3E})});
  EXPECT_EQ(run("key:up,LCtrl"), Lines{keyboard_line(0, {0x3E})});
  EXPECT_EQ(run("key:up,f5"), Lines{kAllUp});
  ::testing::internal::GetCapturedStdout();
}

TEST_F(InterpreterTest, KeyWithABlankNameClearsHeldKeys) {
  ::testing::internal::CaptureStdout();
  run("key:down,a");
  EXPECT_EQ(run("key:down, "), Lines{kAllUp});
  ::testing::internal::GetCapturedStdout();
}

TEST_F(InterpreterTest, KeyUnknownNameIsRejectedWithAMessage) {
  run("key:down,Shift");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(run("key:press,Hyper", 0).empty());
  EXPECT_EQ(run("key:down,Num1", 1), Lines{keyboard_line(0x02, {0x59})});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "查不到此键Hyper 请确认输入是否有误");
}

TEST_F(InterpreterTest, KeyNeedsASecondParameter) {
  EXPECT_TRUE(run("key:release", 0).empty());
  EXPECT_TRUE(run("key:press", 0).empty());
  EXPECT_EQ(run("key:release,,"), Lines{kAllUp});
  EXPECT_EQ(run("key:release,x"), Lines{kAllUp});
  EXPECT_TRUE(run("key:nothing,x").empty());
}

TEST_F(InterpreterTest, KeyHidSendsEightBytesAndTapsWithAThird) {
  EXPECT_EQ(run("key:hid,0200040000000000,1"),
            (Lines{keyboard_line(0x02, {0x04}), sleep_line(1), kAllUp}));
  EXPECT_EQ(run("key:hid,02000400000000Ff"), Lines{keyboard_line(0x02, {0x04, 0, 0, 0, 0, 0xFF})});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run("key:down,b"), Lines{keyboard_line(0x02, {0x04, 0x05, 0, 0, 0, 0xFF})});
  ::testing::internal::GetCapturedStdout();
}

TEST_F(InterpreterTest, KeyHidOfFewerBytesClearsHeldKeys) {
  run("key:hid,0200040000000000");
  EXPECT_TRUE(run("key:hid,02000400").empty());
  EXPECT_TRUE(run("key:hid, ").empty());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run("key:down,b"), Lines{keyboard_line(0, {0x05})});
  ::testing::internal::GetCapturedStdout();
}

TEST_F(InterpreterTest, KeyHidRejectsMalformedBytes) {
  run("key:hid,0200040000000000");
  EXPECT_TRUE(run("key:hid,020004000000000", 0).empty());     // odd
  EXPECT_TRUE(run("key:hid,02000400000000zz", 0).empty());    // not hexadecimal
  EXPECT_TRUE(run("key:hid,020004000000000000", 0).empty());  // more than 8 bytes
  EXPECT_TRUE(run("key:hid,,", 0).empty());                   // no bytes at all
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run("key:down,b"), Lines{keyboard_line(0x02, {0x04, 0x05})});  // unchanged
  ::testing::internal::GetCapturedStdout();
}

TEST_F(InterpreterTest, KeyTypesStrings) {
  EXPECT_EQ(run("key:string, Ab "), (Lines{keyboard_line(0, {0x04}), kAllUp, sleep_line(30),
                                           keyboard_line(0, {0x05}), kAllUp, sleep_line(30)}));
  const Lines gbk = run("key:gbkstring,A");
  ASSERT_EQ(gbk.size(), 12u);
  EXPECT_EQ(gbk[0], keyboard_line(kModifierLeftAlt, {0x59}));  // 1 of 16640
  EXPECT_EQ(gbk[10], kAllUp);
  EXPECT_EQ(gbk[11], sleep_line(10));
  EXPECT_TRUE(run("key:string,,", 0).empty());
  EXPECT_TRUE(run("key:gbkstring,,", 0).empty());
}

TEST_F(InterpreterTest, MouseButtonsStayDownAcrossMoves) {
  EXPECT_EQ(run("mouse:leftdown"), Lines{mouse_line(1)});
  EXPECT_EQ(run("mouse:move,10,-10"), Lines{mouse_line(1, 0, 0x0A, 0xF6)});
  EXPECT_EQ(run("mouse:rightdown"), Lines{mouse_line(3)});
  EXPECT_EQ(run("mouse:middledown"), Lines{mouse_line(7)});
  EXPECT_EQ(run("mouse:leftup"), Lines{mouse_line(6)});
  EXPECT_EQ(run("mouse:rightup"), Lines{mouse_line(4)});
  EXPECT_EQ(run("mouse:middleup"), Lines{mouse_line(0)});
}

TEST_F(InterpreterTest, MouseClicksLeaveTheHeldButtonsAlone) {
  run("mouse:rightdown");
  EXPECT_EQ(run("mouse:leftclick"), (Lines{mouse_line(1), sleep_line(2), mouse_line(0)}));
  EXPECT_EQ(run("mouse:rightclick"), (Lines{mouse_line(2), sleep_line(2), mouse_line(0)}));
  EXPECT_EQ(run("mouse:middleclick"), (Lines{mouse_line(4), sleep_line(2), mouse_line(0)}));
  EXPECT_EQ(run("mouse:wheel,-1"), Lines{mouse_line(2, 0xFF)});
  EXPECT_EQ(run("mouse:move,300,1"), Lines{mouse_line(2, 0, 0x2C, 0x01)});  // wheel back to 0
  EXPECT_EQ(run("mouse:rightup"), Lines{mouse_line(0)});                    // movement too
}

TEST_F(InterpreterTest, MouseAbsoluteMove) {
  FixedScreen screen(1920, 1080);
  EXPECT_EQ(run("mouse:absmove,960,540"),
            Lines{report_line(ReportType::AbsoluteMouse, {0, 0, 0xFF, 0x07, 0xFF, 0x07, 0})});
}

TEST_F(InterpreterTest, MouseHidBytesStay) {
  EXPECT_EQ(run("mouse:hid,0102030405060708"),
            Lines{report_line(ReportType::Mouse, {1, 2, 3, 4, 5, 6, 7})});
  EXPECT_EQ(run("mouse:hid,0A"), Lines{report_line(ReportType::Mouse, {0x0A, 2, 3, 4, 5, 6, 7})});
  EXPECT_EQ(run("mouse:leftup"), Lines{report_line(ReportType::Mouse, {0x0A, 2, 3, 4, 5, 6, 7})});
  EXPECT_EQ(run("mouse:move,1,1"), Lines{report_line(ReportType::Mouse, {0x0A, 2, 1, 1, 5, 6, 7})});
  EXPECT_EQ(run("mouse:wheel,3"), Lines{report_line(ReportType::Mouse, {0x0A, 3, 0, 0, 5, 6, 7})});
  EXPECT_TRUE(run("mouse:hid, ").empty());
}

TEST_F(InterpreterTest, MouseHidRejectsMalformedBytes) {
  EXPECT_TRUE(run("mouse:hid,012", 0).empty());
  EXPECT_TRUE(run("mouse:hid,0g", 0).empty());
  EXPECT_TRUE(run("mouse:hid,010203040506070809", 0).empty());
  EXPECT_EQ(run("mouse:leftdown"), Lines{mouse_line(1)});  // nothing was written
}

TEST_F(InterpreterTest, ConsumerValues) {
  const Lines release{sleep_line(10), usage_line(ReportType::Consumer, 0)};
  auto pressed = [&](uint16_t usage) {
    Lines lines{usage_line(ReportType::Consumer, usage)};
    lines.insert(lines.end(), release.begin(), release.end());
    return lines;
  };
  EXPECT_EQ(run("consumer:value,0x00E9"), pressed(0x00E9));
  EXPECT_EQ(run("consumer:value,0Xe9"), pressed(0x00E9));
  EXPECT_EQ(run("consumer:value,233"), pressed(0x00E9));
  EXPECT_EQ(run("consumer:value,-1"), pressed(0xFFFF));
  EXPECT_EQ(run("consumer:value,0xFFFF00E9"), pressed(0x00E9));
  EXPECT_EQ(run("consumer:value,0x"), pressed(0));
}

TEST_F(InterpreterTest, ConsumerNamedKeysInOrder) {
  const std::pair<const char*, uint16_t> keys[] = {
      {"consumer:androidhome", 0x0223}, {"consumer:androidback", 0x0224},
      {"consumer:androidmenu", 0x0040}, {"consumer:volup", 0x00E9},
      {"consumer:voldown", 0x00EA},     {"consumer:mute", 0x00E2},
      {"consumer:next", 0x00B5},        {"consumer:pre", 0x00B6},
      {"consumer:play", 0x00CD},        {"consumer:stop", 0x02B7},
      {"consumer:playnext", 0x00B5}};  // "next" is tried before "play"
  for (const auto& [command, usage] : keys) {
    EXPECT_EQ(run(command), (Lines{usage_line(ReportType::Consumer, usage), sleep_line(10),
                                   usage_line(ReportType::Consumer, 0)}))
        << command;
  }
  EXPECT_EQ(run("consumer:louder"), (Lines{sleep_line(10), usage_line(ReportType::Consumer, 0)}));
}

TEST_F(InterpreterTest, ConsumerPowerWordsSendWithoutReleaseAndAnswerZero) {
  EXPECT_EQ(run("consumer:powerdown", 0), Lines{usage_line(ReportType::SystemControl, 1)});
  EXPECT_EQ(run("consumer:powersleep", 0), Lines{usage_line(ReportType::SystemControl, 2)});
}

TEST_F(InterpreterTest, JoyByParameterCount) {
  const Lines pressed{usage_line(ReportType::Joystick, 3), sleep_line(5),
                      usage_line(ReportType::Joystick, 0)};
  EXPECT_EQ(run("joy:3"), pressed);
  EXPECT_EQ(run("joy:65539,1,2,3"), pressed);
  EXPECT_EQ(run("joy:3,9,9,9,9"), pressed);
  EXPECT_TRUE(run("joy:3,4").empty());
  EXPECT_TRUE(run("joy:3,4,5").empty());
}

TEST_F(InterpreterTest, TouchTaps) {
  const std::string down = touch_line(1, 0, 540, 1200);
  EXPECT_EQ(run("touch:click,540,1200"), (Lines{down, sleep_line(10), kLift}));
  EXPECT_EQ(run("touch:longclick,540,1200"), (Lines{down, sleep_line(1000), kLift}));
  EXPECT_EQ(run("touch:dbclick,540,1200"),
            (Lines{down, sleep_line(50), kLift, sleep_line(250), down, sleep_line(50), kLift}));
  EXPECT_EQ(run("touch:dbclick,0,0"),
            (Lines{touch_line(1, 0, 0, 0), sleep_line(50), kLift, sleep_line(250),
                   touch_line(1, 0, 0, 0), sleep_line(50), kLift}));
}

TEST_F(InterpreterTest, TouchNamedSlidesLiftOnce) {
  const std::pair<const char*, std::string> slides[] = {
      {"touch:slideleft", touch_line(1, 0, 3895, 2047)},
      {"touch:slideright", touch_line(1, 0, 200, 2047)},
      {"touch:slideup", touch_line(1, 0, 2047, 3695)},
      {"touch:slidedown", touch_line(1, 0, 2047, 500)}};
  for (const auto& [command, first] : slides) {
    const Lines lines = run(command);
    ASSERT_GE(lines.size(), 3u) << command;
    EXPECT_EQ(lines.front(), first) << command;
    EXPECT_EQ(lines[1], sleep_line(20)) << command;
    EXPECT_EQ(lines.back(), kLift) << command;
    EXPECT_NE(lines[lines.size() - 2], kLift) << command;
  }
}

TEST_F(InterpreterTest, TouchSlideWithItsOwnPoints) {
  EXPECT_EQ(run("touch:slide,0,0,100,50"),
            (Lines{touch_line(1, 0, 0, 0), sleep_line(20), touch_line(1, 0, 50, 25), sleep_line(20),
                   kLift}));
  EXPECT_EQ(run("touch:slide,0,0,100,50,7"),
            (Lines{touch_line(1, 0, 0, 0), sleep_line(7), touch_line(1, 0, 50, 25), sleep_line(7),
                   kLift}));
  EXPECT_TRUE(run("touch:slide,0,0,100", 0).empty());
}

TEST_F(InterpreterTest, TouchSetTakesWholeNumbers) {
  EXPECT_TRUE(run("touch:set,70000,100").empty());
  EXPECT_EQ(touch_area().width, 70000);
  EXPECT_EQ(touch_area().height, 100);
  EXPECT_TRUE(run("touch:set,5", 0).empty());
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(run("touch:set,0,100", 0).empty());
  EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
  EXPECT_EQ(touch_area().width, 70000);
}

TEST_F(InterpreterTest, TouchDownAndUpByContact) {
  EXPECT_EQ(run("touch:down,100,200"), Lines{touch_line(1, 0, 100, 200)});
  EXPECT_EQ(run("touch:down,1,100,200"), Lines{touch_line(1, 1, 100, 200)});
  EXPECT_EQ(run("touch:up,1"), Lines{touch_line(0, 1, 0, 0)});
  EXPECT_EQ(run("touch:up"), Lines{kLift});
  EXPECT_EQ(run("touch:release,1"), Lines{touch_line(0, 1, 0, 0)});
  EXPECT_TRUE(run("touch:down,5", 0).empty());
  EXPECT_TRUE(run("touch:down,1,2,3,4").empty());
  EXPECT_TRUE(run("touch:swipe,1,2").empty());
}

// The text commands run the exports' own procedures: the same frames and pauses, apart
// from the named slides, whose exports lift once more.
TEST_F(InterpreterTest, CommandsSendWhatTheirExportsSend) {
  FixedScreen screen(1920, 1080);
  key_action(" ", 1);  // HeldKeys as empty as the interpreter's keys
  capture.take();
  using Call = void (*)();
  const std::pair<const char*, Call> same[] = {
      {"key:press,a", [] { key_action("a", 2); }},
      {"key:down,LShift", [] { key_action("LShift", 0); }},
      {"key:down,a", [] { key_action("a", 0); }},
      {"key:up,LShift", [] { key_action("LShift", 1); }},
      {"key:up,a", [] { key_action("a", 1); }},
      {"key:string,a!", [] { key_string("a!"); }},
      {"mouse:rightclick", [] { right_click(); }},
      {"mouse:absmove,960,540", [] { absmove(960, 540); }},
      {"consumer:value,0x00E9", [] { vol_up(); }},
      {"consumer:androidback", [] { android_back(); }},
      {"consumer:powersleep", [] { power_sleep(); }},
      {"joy:5", [] { joy(5, 0, 0, 0, 0); }},
      {"touch:click,100,200", [] { touch_click(100, 200); }},
      {"touch:longclick,100,200", [] { touch_longclick(100, 200); }},
      {"touch:slide,0,0,200,100,7", [] { touch_slide(0, 0, 200, 100, 7); }},
      {"touch:down,1,5,6", [] { touch(1, 1, 5, 6); }},
      {"touch:up,1", [] { touch_release(1); }},
      {"touch:slideleft", [] { touch_slide_left(); }},
      {"touch:slideright", [] { touch_slide_right(); }},
      {"touch:slideup", [] { touch_slide_up(); }},
      {"touch:slidedown", [] { touch_slide_down(); }},
  };
  for (const auto& [text, call] : same) {
    ::testing::internal::CaptureStdout();
    quill5_cmd(text);
    ::testing::internal::GetCapturedStdout();
    Lines expected = capture.take();
    if (std::strstr(text, "touch:slide") == text && text[11] != ',') expected.push_back(kLift);
    call();
    EXPECT_EQ(capture.take(), expected) << text;
  }
}

TEST(HexParsing, Bytes) {
  uint8_t out[8] = {0xEE, 0xEE, 0xEE};
  EXPECT_EQ(parse_hex_bytes("0aFf", out, sizeof out), 2);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0xEE);
  EXPECT_EQ(parse_hex_bytes("", out, sizeof out), 0);
  EXPECT_EQ(parse_hex_bytes("abc", out, sizeof out), -1);
  EXPECT_EQ(parse_hex_bytes("zz", out, sizeof out), -1);
  EXPECT_EQ(parse_hex_bytes("0x", out, sizeof out), -1);
  EXPECT_EQ(parse_hex_bytes("000000000000000000", out, sizeof out), -1);
  EXPECT_EQ(out[0], 0x0A);  // refused texts write nothing
}

TEST(HexParsing, Numbers) {
  uint32_t value = 0;
  EXPECT_TRUE(parse_hex_number("0x00E9", value));
  EXPECT_EQ(value, 0xE9u);
  EXPECT_TRUE(parse_hex_number("0XfF", value));
  EXPECT_EQ(value, 0xFFu);
  EXPECT_TRUE(parse_hex_number("x12", value));
  EXPECT_EQ(value, 0x12u);
  EXPECT_TRUE(parse_hex_number("012", value));
  EXPECT_EQ(value, 0x12u);
  EXPECT_TRUE(parse_hex_number("0xFFFFFFFF", value));
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_TRUE(parse_hex_number("0x", value));
  EXPECT_EQ(value, 0u);
  value = 7;
  EXPECT_FALSE(parse_hex_number("0x1g", value));
  EXPECT_FALSE(parse_hex_number("0x123456789", value));
  EXPECT_FALSE(parse_hex_number("0xx1", value));
  EXPECT_EQ(value, 7u);
}

}  // namespace
}  // namespace tapline
