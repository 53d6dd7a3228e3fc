// The recorder's script: which lines, delays and releases a run of input events becomes.
#include "host/record/script_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/keyboard.h"

namespace {

using tapline::ScriptWriter;
using tapline::platform::InputEvent;
using tapline::platform::InputKind;
namespace platform = tapline::platform;

const int kStopKey = tapline::key_name_to_vk("Pause");
const int kShift = tapline::key_name_to_vk("LShift");
const int kCtrl = tapline::key_name_to_vk("LCtrl");

const std::string kHeader =
    "-- Recorded with tapline --record: keys, mouse buttons, wheel and drags on a 800x600 "
    "screen.\n-- MoveTo takes pixels of the screen of the machine that replays it.\n";

InputEvent down(int key, uint32_t time) { return {InputKind::key_down, key, 0, 0, time}; }
InputEvent up(int key, uint32_t time) { return {InputKind::key_up, key, 0, 0, time}; }
InputEvent press(int button, int x, int y, uint32_t time) {
  return {InputKind::button_down, button, x, y, time};
}
InputEvent release(int button, int x, int y, uint32_t time) {
  return {InputKind::button_up, button, x, y, time};
}
InputEvent move(int x, int y, uint32_t time) { return {InputKind::motion, 0, x, y, time}; }

// The script of a recording of `events` that the stop key ends (unless none of them is
// the stop key) or, with `by_signal`, that a signal ends after the last of them.
std::string script_of(const std::vector<InputEvent>& events, bool by_signal = false) {
  ScriptWriter writer(kStopKey, {800, 600});
  std::string script = writer.take_text();
  for (const InputEvent& event : events)
    if (!writer.add(event)) break;
  writer.finish(by_signal);
  return script + writer.take_text();
}

TEST(ScriptWriter, QuickTapsArePressesAndLongerHoldsKeepTheirDownAndUp) {
  EXPECT_EQ(script_of({down('A', 1000), up('A', 1050), down('B', 1100), up('B', 1299),
                       down('C', 1400), up('C', 1600), down(kStopKey, 1700)}),
            kHeader +
                "KeyPress(\"a\")\nDelay(50)\nKeyPress(\"b\")\nDelay(101)\n"
                "KeyDown(\"c\")\nDelay(200)\nKeyUp(\"c\")\n"
                "-- End of the recording: 6 events.\n");
  // Digits and punctuation replay by the character they type; a backslash is escaped; a
  // key that no name replays is a comment, and its release nothing.
  EXPECT_EQ(script_of({down('7', 0), up('7', 20), down(0xDC, 40), up(0xDC, 60), down(0xBA, 80),
                       up(0xBA, 100), down(0x07, 120), up(0x07, 140)}),
            kHeader +
                "KeyPress(\"7\")\nDelay(20)\nKeyPress(\"\\\\\")\nDelay(20)\nKeyPress(\";\")\n"
                "-- key 0x07: no key name replays it\n"
                "-- End of the recording: 6 events.\n");
}

TEST(ScriptWriter, GapsUnderTenMillisecondsAddUpIntoTheNextDelayAcrossTheClocksWrap) {
  EXPECT_EQ(script_of({down('A', 0), up('A', 30), down('B', 35), up('B', 60), down('C', 66),
                       up('C', 90)}),
            kHeader +
                "KeyPress(\"a\")\nKeyPress(\"b\")\nDelay(11)\nKeyPress(\"c\")\n"
                "-- End of the recording: 6 events.\n");
  EXPECT_EQ(script_of({down('A', 4294967280u), up('A', 4294967290u), down('B', 14), up('B', 20)}),
            kHeader + "KeyPress(\"a\")\nDelay(20)\nKeyPress(\"b\")\n" +
                "-- End of the recording: 4 events.\n");
}

TEST(ScriptWriter, WhatTheStopKeyFindsHeldIsReleasedLastDownFirstUp) {
  EXPECT_EQ(script_of({down(kShift, 0), down('A', 300), down(kStopKey, 350)}),
            kHeader +
                "KeyDown(\"LShift\")\nDelay(300)\nKeyDown(\"a\")\n"
                "KeyUp(\"a\")\nKeyUp(\"LShift\")\n"
                "-- End of the recording: 2 events.\n");
  EXPECT_EQ(script_of({press(platform::kRightButton, 5, 6, 0), move(7, 8, 30), down(kStopKey, 60)}),
            kHeader +
                "MoveTo(5, 6)\nRightDown()\nDelay(30)\nMoveTo(7, 8)\nRightUp()\n"
                "-- End of the recording: 2 events.\n");
}

TEST(ScriptWriter, ASignalDropsTheChordInProgressAndItsCount) {
  ScriptWriter writer(kStopKey, {800, 600});
  writer.take_text();
  for (const InputEvent& event : {down('X', 0), up('X', 20), down(kCtrl, 500), down('C', 800)})
    EXPECT_TRUE(writer.add(event));
  // Nothing of the chord is final while it is held.
  EXPECT_EQ(writer.take_text(), "KeyPress(\"x\")\n");
  EXPECT_EQ(writer.count(), 3u);
  writer.finish(true);
  EXPECT_EQ(writer.take_text(), "-- End of the recording: 2 events.\n");
  EXPECT_EQ(writer.count(), 2u);
}

TEST(ScriptWriter, OverlappingButtonsDragsAndTheWheel) {
  EXPECT_EQ(
      script_of({press(platform::kLeftButton, 10, 20, 0),
                 press(platform::kRightButton, 30, 40, 100), move(40, 50, 150),
                 release(platform::kLeftButton, 40, 50, 200),
                 release(platform::kRightButton, 50, 60, 300),
                 move(65, 65, 350),  // no button held: no line, no delay
                 press(platform::kWheelUp, 70, 80, 500), press(platform::kWheelDown, 70, 80, 505),
                 press(8, 70, 80, 600), release(8, 70, 80, 610)}),
      kHeader +
          "MoveTo(10, 20)\nLeftDown()\nDelay(100)\nMoveTo(30, 40)\nRightDown()\n"
          "Delay(50)\nMoveTo(40, 50)\nDelay(50)\nLeftUp()\n"
          "Delay(100)\nMoveTo(50, 60)\nRightUp()\n"
          "Delay(200)\nMoveTo(70, 80)\nMouseWheel(1)\nMouseWheel(-1)\n"
          "Delay(100)\n-- mouse button 8: no script function replays it\nDelay(10)\n"
          "-- End of the recording: 7 events.\n");
}

}  // namespace
