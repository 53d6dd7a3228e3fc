// Keyboard reports, key names and the keys that key_action holds.
#include "command/keyboard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "command/host_message.h"
#include "command_capture.h"

namespace tapline {
namespace {

using testing::CommandCapture;
using testing::keyboard_line;
using testing::sleep_line;
using Lines = std::vector<std::string>;

const std::string kAllUp = keyboard_line(0);

class KeyboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_action(" ", 0);  // a blank name empties HeldKeys
    capture.take();
  }
  CommandCapture capture;
};

TEST(KeyTables, SpecialKeyNamesAreTheNamesUsersType) {
  const auto names = special_key_names();
  EXPECT_EQ(special_key_usage("SCROOLLOCK"), 0x47);  // the spelling users know
  EXPECT_EQ(special_key_usage("SCROLLLOCK"), kNoUsage);
  EXPECT_EQ(special_key_usage("D_Enter"), 0x58);
  EXPECT_EQ(special_key_usage("D_+"), 0x57);
  EXPECT_EQ(special_key_usage("D_-"), 0x56);
  EXPECT_EQ(special_key_usage("D_."), 0x63);
  EXPECT_EQ(special_key_usage("Prnsc"), 0x46);
  EXPECT_EQ(special_key_usage("Power"), 0x66);
  EXPECT_EQ(special_key_usage("Right"), 0x4F);
  for (int f = 1; f <= 12; ++f) {
    const std::string name = 'F' + std::to_string(f);
    EXPECT_EQ(special_key_usage(name.c_str()), 0x3A + f - 1) << name;
  }
  // No two names are equal after upper-casing.
  for (size_t i = 0; i < names.size(); ++i)
    for (size_t j = i + 1; j < names.size(); ++j) EXPECT_STRCASENE(names[i].name, names[j].name);
}

TEST(KeyTables, SpecialKeyNamesMatchWithoutCaseButUntrimmed) {
  EXPECT_EQ(special_key_usage("enter"), 0x28);
  EXPECT_EQ(special_key_usage("pgdn"), 0x4E);
  EXPECT_EQ(special_key_usage("Enter "), kNoUsage);
  EXPECT_EQ(special_key_usage("XXXXX_1"), kNoUsage);
  EXPECT_EQ(special_key_usage(""), kNoUsage);
  EXPECT_EQ(special_key_usage(nullptr), kNoUsage);
}

TEST(KeyTables, CharToUsageMapsUsLayout) {
  for (char c = 'A'; c <= 'Z'; ++c) {
    EXPECT_EQ(char_to_usage(c), c - 0x3D);
    EXPECT_EQ(char_to_usage(static_cast<char>(c + 32)), c - 0x3D);  // no Shift for letters
  }
  for (char c = '1'; c <= '9'; ++c) EXPECT_EQ(char_to_usage(c), c - 0x13);
  const std::pair<char, uint8_t> table[] = {
      {'\n', 0x28}, {' ', 0x2C},  {'!', 0x9E}, {'"', 0xB4}, {'#', 0xA0}, {'$', 0xA1},  {'%', 0xA2},
      {'&', 0xA4},  {'\'', 0x34}, {'(', 0xA6}, {')', 0xA7}, {'*', 0xA5}, {'+', 0xAE},  {',', 0x36},
      {'-', 0x2D},  {'.', 0x37},  {'/', 0x38}, {'0', 0x27}, {':', 0xB3}, {';', 0x33},  {'<', 0xB6},
      {'=', 0x2E},  {'>', 0xB7},  {'?', 0xB8}, {'@', 0x9F}, {'[', 0x2F}, {'\\', 0x31}, {']', 0x30},
      {'^', 0xA3},  {'_', 0xAD},  {'`', 0x35}, {'{', 0xAF}, {'|', 0xB1}, {'}', 0xB0}};
  for (const auto& [c, usage] : table) EXPECT_EQ(char_to_usage(c), usage) << c;
}

TEST(KeyTables, CharToUsageRefusesWhatHasNoKey) {
  for (int c = 0; c < 0x20; ++c) {
    if (c == '\n') continue;
    EXPECT_EQ(char_to_usage(static_cast<char>(c)), kNoUsage) << c;
  }
  EXPECT_EQ(char_to_usage('~'), kNoUsage);
  EXPECT_EQ(char_to_usage(0x7F), kNoUsage);
  for (int c = 0x80; c <= 0xFF; ++c) EXPECT_EQ(char_to_usage(static_cast<char>(c)), kNoUsage) << c;
}

TEST(KeyTables, LookupKeyFillsOnlyTheMatchingOutput) {
  uint8_t modifier = 0xAA, usage = 0xBB;
  EXPECT_TRUE(lookup_key("RCtrl", modifier, usage));
  EXPECT_EQ(modifier, 0x10);
  EXPECT_EQ(usage, 0xBB);
  modifier = 0xAA;
  EXPECT_TRUE(lookup_key(" \tnum5\r\n", modifier, usage));  // trimmed, any case
  EXPECT_EQ(modifier, 0xAA);
  EXPECT_EQ(usage, 0x5D);
  EXPECT_TRUE(lookup_key("esc", modifier, usage));
  EXPECT_EQ(usage, 0x29);
  usage = 0xBB;
  EXPECT_FALSE(lookup_key("Enterprise", modifier, usage));
  EXPECT_FALSE(lookup_key("Num 5", modifier, usage));
  EXPECT_FALSE(lookup_key("", modifier, usage));
  EXPECT_FALSE(lookup_key(nullptr, modifier, usage));
  EXPECT_EQ(modifier, 0xAA);
  EXPECT_EQ(usage, 0xBB);
}

TEST(KeyTables, KeyNameToVirtualKey) {
  EXPECT_EQ(key_name_to_vk(" rwin "), 0x5C);
  EXPECT_EQ(key_name_to_vk(" enter "), 0x0D);
  EXPECT_EQ(key_name_to_vk("q"), 0x51);
  EXPECT_EQ(key_name_to_vk(" q\t"), 0x51);
  EXPECT_EQ(key_name_to_vk("1"), 0x31);
  EXPECT_EQ(key_name_to_vk(";"), ';');
  EXPECT_EQ(key_name_to_vk("NumLock"), 0x90);
  EXPECT_EQ(key_name_to_vk("CapLck"), 0x14);
  EXPECT_EQ(key_name_to_vk("Lwin"), 0x5B);
  EXPECT_EQ(key_name_to_vk("nothing"), 0);
  EXPECT_EQ(key_name_to_vk("   "), 0);
  EXPECT_EQ(key_name_to_vk(nullptr), 0);
}

TEST_F(KeyboardTest, RawReportsAndReleases) {
  const uint8_t report[8] = {0x22, 0, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  EXPECT_EQ(kb(report), 1);
  EXPECT_EQ(kb_release(), 1);
  EXPECT_EQ(key_hid(0x104), 1);  // only the low 8 bits count
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0x22, {4, 5, 6, 7, 8, 9}), kAllUp,
                                   keyboard_line(0, {0x04}), kAllUp}));
  EXPECT_EQ(kb(nullptr), 0);
  EXPECT_EQ(capture.frames().size(), 0u);
  kb_release();
  const std::vector<uint8_t> all_up{0x2C, 0x08, 0x41, 0x41, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(capture.frames().size(), 1u);
  EXPECT_EQ(capture.frames()[0], all_up);
}

TEST_F(KeyboardTest, NothingIsSentWithoutATransport) {
  set_send_cb(nullptr);
  const uint8_t report[8] = {};
  EXPECT_EQ(kb(report), 0);
  EXPECT_EQ(kb_release(), 0);
  EXPECT_EQ(key_hid(4), 0);
  key("abc", 0, 1);
  key_action("a", 2);
  EXPECT_EQ(capture.frame_count(), 0u);
}

TEST_F(KeyboardTest, KeySendsSpecialNamesWithoutPause) {
  key("enter", 0, 1);
  key("F9", 0x01, 1);
  key("Insert", 0, 0);
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0, {0x28}), kAllUp, keyboard_line(0x01, {0x42}),
                                   kAllUp, keyboard_line(0, {0x49})}));
}

TEST_F(KeyboardTest, KeyTypesUnknownNamesCharacterByCharacter) {
  key("Enter ", 0, 1);
  Lines expected;
  for (uint8_t usage : {0x08, 0x11, 0x17, 0x08, 0x15, 0x2C}) {
    expected.push_back(keyboard_line(0, {usage}));
    expected.push_back(kAllUp);
    expected.push_back(sleep_line(30));
  }
  EXPECT_EQ(capture.take(), expected);

  key("XXXXX_1", 0, 1);
  expected.clear();
  for (uint8_t usage : {0x1B, 0x1B, 0x1B, 0x1B, 0x1B, 0xAD, 0x1E}) {
    expected.push_back(keyboard_line(0, {usage}));
    expected.push_back(kAllUp);
    expected.push_back(sleep_line(30));
  }
  EXPECT_EQ(capture.take(), expected);
}

TEST_F(KeyboardTest, KeyKeepsShiftFlagAndSkipsUntypeableBytes) {
  key("Ab\t!", 0, 1);
  EXPECT_EQ(capture.take(),
            (Lines{keyboard_line(0, {0x04}), kAllUp, sleep_line(30), keyboard_line(0, {0x05}),
                   kAllUp, sleep_line(30), keyboard_line(0, {0x9E}), kAllUp, sleep_line(30)}));
}

TEST_F(KeyboardTest, KeyWithoutReleaseLeavesTheLastCharacterHeld) {
  key("ab", 0x02, 0x100);  // release counts by its low 8 bits: false
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0x02, {0x04}), sleep_line(30),
                                   keyboard_line(0x02, {0x05}), sleep_line(30)}));
}

TEST_F(KeyboardTest, KeyWithModifiersAlone) {
  key("", 0x05, 1);
  key("", 0x05, 0);
  key("", 0, 1);
  key(nullptr, 0x05, 1);
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0x05), kAllUp, keyboard_line(0x05)}));
}

TEST_F(KeyboardTest, KeyActionHoldsModifiersAndKeys) {
  key_action("LShift", 0);
  key_action("a", 2);
  EXPECT_EQ(capture.take(),
            (Lines{keyboard_line(0x02), keyboard_line(0x02, {0x04}), keyboard_line(0x02)}));
  EXPECT_EQ(held_keys()[0], 0x02);
  key_action("LShift", 1);
  EXPECT_EQ(capture.take(), Lines{kAllUp});
}

TEST_F(KeyboardTest, KeyActionCtrlNamesShareOneBit) {
  key_action("Ctrl", 0);
  key_action("LCtrl", 0);
  key_action("ctrl", 1);
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0x01), keyboard_line(0x01), kAllUp}));
}

TEST_F(KeyboardTest, KeyActionBlankNameClearsHeldKeys) {
  key_action("x", 0);
  key_action("RAlt", 0);
  capture.take();
  key_action(" ", 0);
  EXPECT_EQ(capture.take(), Lines{kAllUp});
  EXPECT_EQ(held_keys(), KeyboardReport{});
}

TEST_F(KeyboardTest, KeyActionFillsSixSlotsAndIgnoresASeventh) {
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) key_action(name, 0);
  capture.take();
  key_action("g", 0);
  EXPECT_EQ(capture.take(), Lines{keyboard_line(0, {0x04, 0x05, 0x06, 0x07, 0x08, 0x09})});
  key_action("c", 1);
  key_action("g", 0);  // the freed slot takes the next key
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0, {0x04, 0x05, 0x00, 0x07, 0x08, 0x09}),
                                   keyboard_line(0, {0x04, 0x05, 0x0A, 0x07, 0x08, 0x09})}));
}

TEST_F(KeyboardTest, KeyActionSameKeyTwiceReleasedOnce) {
  key_action("Enter", 0);
  key_action("enter", 0);
  key_action(" Enter ", 1);
  EXPECT_EQ(capture.take(),
            (Lines{keyboard_line(0, {0x28}), keyboard_line(0, {0x28, 0x28}), kAllUp}));
}

TEST_F(KeyboardTest, KeyActionKeepsShiftFlagInItsSlot) {
  key_action("!", 2);
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0, {0x9E}), kAllUp}));
}

TEST_F(KeyboardTest, KeyActionUntypeableCharacterSendsHeldKeysOnly) {
  key_action("LAlt", 0);
  capture.take();
  key_action("~", 2);
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0x04), keyboard_line(0x04)}));
}

TEST_F(KeyboardTest, KeyActionUsesTheLowByteOfTheAction) {
  key_action("a", 3);
  key_action("a", 0xFF);
  EXPECT_TRUE(capture.take().empty());
  key_action("a", 0x102);
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0, {0x04}), kAllUp}));
  key_action(nullptr, 2);
  EXPECT_TRUE(capture.take().empty());
}

TEST_F(KeyboardTest, KbReleaseDoesNotForgetHeldKeys) {
  key_action("Shift", 0);
  key_action("z", 0);
  kb_release();
  capture.take();
  key_action("y", 0);
  EXPECT_EQ(capture.take(), Lines{keyboard_line(0x02, {0x1D, 0x1C})});
}

std::mutex host_lock;
std::vector<std::string> host_texts;

void host_window(unsigned int message, uintptr_t wparam, char* text) {
  std::lock_guard guard(host_lock);
  if (message == TAPLINE_HOST_MESSAGE && wparam == 0) host_texts.emplace_back(text);
  std::free(text);
}

TEST_F(KeyboardTest, KeyActionUnknownNameTellsTheHostAndSendsNothing) {
  key_action("LCtrl", 0);
  capture.take();
  set_apphandle(host_window);
  key_action("Hyper", 2);
  ASSERT_TRUE(flush_host_messages(std::chrono::seconds(10)));
  set_apphandle(nullptr);
  EXPECT_TRUE(capture.take().empty());
  EXPECT_EQ(held_keys()[0], 0x01);
  std::lock_guard guard(host_lock);
  EXPECT_EQ(host_texts, Lines{"查不到此键Hyper 请确认输入是否有误"});
}

}  // namespace
}  // namespace tapline
