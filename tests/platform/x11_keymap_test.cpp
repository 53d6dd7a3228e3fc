// Which X11 keycodes carry which virtual keys, read from a private server's keyboard
// mapping.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/x11/keymap.h"
#include "xvfb.h"

namespace {

using tapline::platform::VirtualKeyCodes;
using tapline::platform::X11KeyVirtualKeys;
using Codes = std::vector<int>;

class X11Keymap : public tapline::testing::XvfbSuite {
 protected:
  void SetUp() override {
    display_ = XOpenDisplay(display_name().c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_ != nullptr) XCloseDisplay(display_);
  }

  int keycode(KeySym keysym) const { return XKeysymToKeycode(display_, keysym); }
  static Codes codes(const VirtualKeyCodes& table, int virtual_key) {
    const auto& keys = table[virtual_key];
    Codes found(keys.codes.begin(), keys.codes.begin() + keys.count);
    std::sort(found.begin(), found.end());
    return found;
  }
  static Codes sorted(Codes codes) {
    std::sort(codes.begin(), codes.end());
    return codes;
  }

  Display* display_ = nullptr;
};

TEST_F(X11Keymap, KeysAndKeyEventsAreNamedAsWindowsNamesThem) {
  VirtualKeyCodes table;
  tapline::platform::map_x11_keys(display_, table);
  EXPECT_EQ(codes(table, 'A'), Codes{keycode(XK_a)});
  EXPECT_EQ(codes(table, 0x10), sorted({keycode(XK_Shift_L), keycode(XK_Shift_R)}));
  EXPECT_EQ(codes(table, 0xA1), Codes{keycode(XK_Shift_R)});
  EXPECT_EQ(codes(table, 0x61), Codes{keycode(XK_KP_1)}) << "the keypad's 1 at its second level";

  X11KeyVirtualKeys keys;
  tapline::platform::map_x11_key_events(display_, keys);
  EXPECT_EQ(keys[keycode(XK_a)], 'A');
  EXPECT_EQ(keys[keycode(XK_Shift_R)], 0xA1) << "a key event names the side";
  EXPECT_EQ(keys[keycode(XK_KP_7)], 0x67) << "the keypad's 7, though its first level is KP_Home";
}

// As a German layout has them: the key of y carries z and the key of z carries y.
TEST_F(X11Keymap, LettersFollowTheServersMapping) {
  const int y_key = keycode(XK_y), z_key = keycode(XK_z);
  const auto row = [&](int key) {
    int per_keycode = 0;
    KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(key), 1, &per_keycode);
    std::vector<KeySym> keysyms(syms, syms + per_keycode);
    XFree(syms);
    return keysyms;
  };
  const auto set_row = [&](int key, std::vector<KeySym> keysyms) {
    XChangeKeyboardMapping(display_, key, static_cast<int>(keysyms.size()), keysyms.data(), 1);
    XSync(display_, False);
  };
  const std::vector<KeySym> y_row = row(y_key), z_row = row(z_key);
  set_row(y_key, z_row);
  set_row(z_key, y_row);

  VirtualKeyCodes table;
  tapline::platform::map_x11_keys(display_, table);
  X11KeyVirtualKeys keys;
  tapline::platform::map_x11_key_events(display_, keys);
  set_row(y_key, y_row);
  set_row(z_key, z_row);

  EXPECT_EQ(codes(table, 'Z'), Codes{y_key});
  EXPECT_EQ(codes(table, 'Y'), Codes{z_key});
  EXPECT_EQ(keys[y_key], 'Z');
  EXPECT_EQ(keys[z_key], 'Y');
}

}  // namespace
