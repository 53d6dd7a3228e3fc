// Which evdev key codes the virtual-key codes name, through real XKB layouts.
#include <gtest/gtest.h>
#include <linux/input.h>

#include <algorithm>
#include <vector>

#include "platform/evdev/keymap.h"

namespace {

using tapline::platform::KeyboardLayout;
using tapline::platform::VirtualKeyCodes;

std::vector<int> codes(const VirtualKeyCodes& table, int virtual_key) {
  const auto& keys = table[virtual_key];
  std::vector<int> found(keys.codes.begin(), keys.codes.begin() + keys.count);
  std::sort(found.begin(), found.end());
  return found;
}

TEST(EvdevKeymap, UsLayoutNamesKeysAsWindowsDoes) {
  VirtualKeyCodes table{};
  ASSERT_TRUE(tapline::platform::map_evdev_keys({"pc105", "us", "", ""}, table));
  EXPECT_EQ(codes(table, 'A'), std::vector<int>{KEY_A});
  EXPECT_EQ(codes(table, 'Z'), std::vector<int>{KEY_Z});
  EXPECT_EQ(codes(table, '1'), std::vector<int>{KEY_1});     // not the keypad's 1
  EXPECT_EQ(codes(table, 0x61), std::vector<int>{KEY_KP1});  // its second level
  EXPECT_EQ(codes(table, 0x0D), (std::vector<int>{KEY_ENTER, KEY_KPENTER}));
  EXPECT_EQ(codes(table, 0x10), (std::vector<int>{KEY_LEFTSHIFT, KEY_RIGHTSHIFT}));
  EXPECT_EQ(codes(table, 0xA1), std::vector<int>{KEY_RIGHTSHIFT});
  EXPECT_EQ(codes(table, 0x14), std::vector<int>{KEY_CAPSLOCK});
  EXPECT_EQ(codes(table, 0x7B), std::vector<int>{KEY_F12});
  EXPECT_EQ(codes(table, 0xAF), std::vector<int>{KEY_VOLUMEUP});
  EXPECT_EQ(codes(table, 0x01), std::vector<int>{BTN_LEFT});
  EXPECT_EQ(codes(table, 0x02), std::vector<int>{BTN_RIGHT});
  EXPECT_EQ(codes(table, 0x04), std::vector<int>{BTN_MIDDLE});
  EXPECT_TRUE(codes(table, 0x07).empty());
}

TEST(EvdevKeymap, LettersFollowTheLayout) {
  VirtualKeyCodes table{};
  ASSERT_TRUE(tapline::platform::map_evdev_keys({"", "de", "", ""}, table));
  EXPECT_EQ(codes(table, 'Z'), std::vector<int>{KEY_Y});
  EXPECT_EQ(codes(table, 'Y'), std::vector<int>{KEY_Z});
  ASSERT_TRUE(tapline::platform::map_evdev_keys({"", "fr", "", ""}, table));
  EXPECT_EQ(codes(table, 'A'), std::vector<int>{KEY_Q});
}

TEST(EvdevKeymap, UnknownLayoutIsRefused) {
  VirtualKeyCodes table{};
  EXPECT_FALSE(tapline::platform::map_evdev_keys({"", "no-such-layout", "", ""}, table));
  EXPECT_EQ(table[0x01].count, 0);
}

}  // namespace
