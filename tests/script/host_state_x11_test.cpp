// Host key state from a real X server: a private Xvfb display whose keys are pressed
// through XTest, read back through the script functions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "command_capture.h"
#include "platform/key_state.h"
#include "script_state.h"
#include "xvfb.h"

// Last: Xlib's macros (None, True, Bool) clash with names in the headers above.
// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on

namespace {

using tapline::testing::CommandCapture;
using tapline::testing::ScriptState;

class HostKeys : public tapline::testing::XvfbSuite {
 protected:
  void SetUp() override {
    setenv("TAPLINE_KEYS", "x11", 1);  // even when the tests run inside a Wayland session
    tester_ = XOpenDisplay(display_name().c_str());
    ASSERT_NE(tester_, nullptr);
  }
  void TearDown() override {
    if (tester_) XCloseDisplay(tester_);
  }

  KeyCode keycode(KeySym sym) { return XKeysymToKeycode(tester_, sym); }
  void press(KeySym sym) { send_key(sym, True); }
  void release(KeySym sym) { send_key(sym, False); }
  void tap(KeySym sym) {
    press(sym);
    release(sym);
  }
  void send_key(KeySym sym, Bool down) {
    const KeyCode code = keycode(sym);
    ASSERT_NE(code, 0) << "no key for keysym " << XKeysymToString(sym);
    XTestFakeKeyEvent(tester_, code, down, CurrentTime);
    XSync(tester_, False);
  }

  lua_Integer key_state(int virtual_key) {
    return script_.integer("GetKeyState(" + std::to_string(virtual_key) + ")");
  }

  Display* tester_ = nullptr;
  CommandCapture capture_;  // the clock: WaitKey's pauses are recorded, not slept
  ScriptState script_;
};

TEST_F(HostKeys, PressedAndReleasedLetter) {
  EXPECT_EQ(key_state('A'), 0);
  press(XK_a);
  EXPECT_EQ(key_state('A'), -128);
  EXPECT_EQ(script_.integer("GetKeyState('65')"), -128);
  EXPECT_EQ(key_state('B'), 0);
  release(XK_a);
  EXPECT_EQ(key_state('A'), 0);
}

struct MappedKey {
  int virtual_key;
  KeySym keysym;
};

TEST_F(HostKeys, VirtualKeysFindTheirKeys) {
  const MappedKey keys[] = {
      {'A', XK_a},
      {'Z', XK_z},
      {'0', XK_0},
      {'9', XK_9},
      {0x70, XK_F1},
      {0x7B, XK_F12},
      {0x08, XK_BackSpace},
      {0x09, XK_Tab},
      {0x0D, XK_Return},
      {0x0D, XK_KP_Enter},
      {0x13, XK_Pause},
      {0x1B, XK_Escape},
      {0x20, XK_space},
      {0x21, XK_Prior},
      {0x22, XK_Next},
      {0x23, XK_End},
      {0x24, XK_Home},
      {0x25, XK_Left},
      {0x26, XK_Up},
      {0x27, XK_Right},
      {0x28, XK_Down},
      {0x2C, XK_Print},
      {0x2D, XK_Insert},
      {0x2E, XK_Delete},
      {0x60, XK_KP_0},
      {0x61, XK_KP_1},
      {0x69, XK_KP_9},
      {0x6A, XK_KP_Multiply},
      {0x6B, XK_KP_Add},
      {0x6D, XK_KP_Subtract},
      {0x6E, XK_KP_Decimal},
      {0x6F, XK_KP_Divide},
      {0x10, XK_Shift_L},
      {0x10, XK_Shift_R},
      {0xA0, XK_Shift_L},
      {0xA1, XK_Shift_R},
      {0x11, XK_Control_L},
      {0x11, XK_Control_R},
      {0xA2, XK_Control_L},
      {0xA3, XK_Control_R},
      {0x12, XK_Alt_L},
      {0x12, XK_Alt_R},
      {0xA4, XK_Alt_L},
      {0xA5, XK_Alt_R},
      {0x5B, XK_Super_L},
      {0x5C, XK_Super_R},
      {0x5D, XK_Menu},
      {0xBA, XK_semicolon},
      {0xBB, XK_equal},
      {0xBC, XK_comma},
      {0xBD, XK_minus},
      {0xBE, XK_period},
      {0xBF, XK_slash},
      {0xC0, XK_grave},
      {0xDB, XK_bracketleft},
      {0xDC, XK_backslash},
      {0xDD, XK_bracketright},
      {0xDE, XK_apostrophe},
  };
  for (const MappedKey& key : keys) {
    SCOPED_TRACE(std::string(XKeysymToString(key.keysym)) + " as " +
                 std::to_string(key.virtual_key));
    press(key.keysym);
    EXPECT_LT(key_state(key.virtual_key), 0);
    release(key.keysym);
    EXPECT_GE(key_state(key.virtual_key), 0);
  }
}

TEST_F(HostKeys, LeftAndRightModifiersAreToldApart) {
  press(XK_Shift_L);
  EXPECT_LT(key_state(0x10), 0);
  EXPECT_LT(key_state(0xA0), 0);
  EXPECT_EQ(key_state(0xA1), 0);
  release(XK_Shift_L);
  press(XK_Control_R);
  EXPECT_LT(key_state(0x11), 0);
  EXPECT_EQ(key_state(0xA2), 0);
  EXPECT_LT(key_state(0xA3), 0);
  release(XK_Control_R);
  EXPECT_EQ(key_state(0x11), 0);
}

TEST_F(HostKeys, LockKeysReadToggledWhileTheirLockIsOn) {
  EXPECT_EQ(key_state(0x14), 0);
  EXPECT_EQ(script_.integer("GetLED(0)"), 0);
  tap(XK_Caps_Lock);
  EXPECT_EQ(key_state(0x14), 1);
  for (const char* index : {"0", "1", "2"})
    EXPECT_EQ(script_.integer(std::string("GetLED(") + index + ")"), 1) << index;
  EXPECT_EQ(script_.integer("GetLED(3)"), -1);
  // Held while on: both bits.
  press(XK_Caps_Lock);
  EXPECT_EQ(key_state(0x14), -127);
  EXPECT_EQ(script_.integer("GetLED(1)"), -127);
  release(XK_Caps_Lock);
  EXPECT_EQ(key_state(0x14), 0);  // the second press turned the lock off

  tap(XK_Num_Lock);
  EXPECT_EQ(key_state(0x90), 1);
  EXPECT_EQ(key_state(0x14), 0);
  tap(XK_Num_Lock);
  EXPECT_EQ(key_state(0x90), 0);
  // Other keys have no toggled state of their own.
  tap(XK_a);
  EXPECT_EQ(key_state('A'), 0);
}

TEST_F(HostKeys, MouseButtonsReadAsKeys) {
  XTestFakeButtonEvent(tester_, 1, True, CurrentTime);
  XSync(tester_, False);
  EXPECT_LT(key_state(0x01), 0);
  EXPECT_EQ(key_state(0x02), 0);
  XTestFakeButtonEvent(tester_, 1, False, CurrentTime);
  XTestFakeButtonEvent(tester_, 3, True, CurrentTime);
  XSync(tester_, False);
  EXPECT_EQ(key_state(0x01), 0);
  EXPECT_LT(key_state(0x02), 0);
  XTestFakeButtonEvent(tester_, 3, False, CurrentTime);
  XSync(tester_, False);
}

TEST_F(HostKeys, CodesWithoutAKeyReadAsUp) {
  for (int code : {0, 0x07, 0x0A, 0xFF, 0x100, 0x141, -1}) EXPECT_EQ(key_state(code), 0) << code;
}

TEST_F(HostKeys, WaitKeySeesAHeldKey) {
  press(XK_Return);
  EXPECT_EQ(script_.integer("WaitKey(' Enter ')"), 1);
  EXPECT_EQ(script_.integer("WaitKey(13, 50)"), 1);
  release(XK_Return);
  EXPECT_EQ(script_.integer("WaitKey('Enter', 50)"), 0);
  EXPECT_EQ(capture_.take().size(), 4u);  // four 10 ms pauses of the last wait
}

TEST_F(HostKeys, WaitKeyWithoutTimeOutRefusesKeysThatDoNotExist) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(script_.integer("WaitKey('NoSuchKey')"), 0);  // code 0
  EXPECT_EQ(script_.integer("WaitKey(7)"), 0);            // no key has this code
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(capture_.take().empty());
}

}  // namespace
