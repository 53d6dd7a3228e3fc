// Typing whole texts: key by key, and by Alt plus keypad digits of UTF-16 and GBK codes.
#include "command/typing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/keyboard.h"
#include "command_capture.h"

namespace tapline {
namespace {

using testing::CommandCapture;
using testing::keyboard_line;
using testing::sleep_line;
using Lines = std::vector<std::string>;

const std::string kAllUp = keyboard_line(0);
const std::string kAltAlone = keyboard_line(kModifierLeftAlt);

std::string alt_digit(int digit) {
  return keyboard_line(kModifierLeftAlt, {kAltDigitUsages[digit]});
}

// The frames key_unicodestring sends for one UTF-16 unit.
Lines unicode_unit(std::initializer_list<int> digits) {
  Lines lines;
  int n = 0;
  for (int digit : digits) {
    lines.push_back(alt_digit(digit));
    lines.push_back(kAltAlone);
    if (++n == 5) lines.push_back(kAllUp);
    lines.push_back(sleep_line(5));
  }
  lines.push_back(sleep_line(150));
  return lines;
}

// The frames key_gbkstring sends for one character.
Lines gbk_character(std::initializer_list<int> digits) {
  Lines lines;
  for (int digit : digits) {
    lines.push_back(alt_digit(digit));
    lines.push_back(kAltAlone);
  }
  lines.push_back(kAllUp);
  lines.push_back(sleep_line(10));
  return lines;
}

Lines joined(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Reads the character numbers back out of an Alt-digit frame sequence; fails the test
// when the sequence is not made of well-formed five-digit groups.
std::vector<uint32_t> typed_numbers(const Lines& lines) {
  std::vector<uint32_t> numbers;
  uint32_t number = 0;
  int digits = 0;
  for (const std::string& line : lines) {
    if (line.rfind("sleep", 0) == 0 || line == kAltAlone) continue;
    if (line == kAllUp) {
      if (digits == 0) continue;
      EXPECT_EQ(digits, 5);
      numbers.push_back(number);
      number = 0;
      digits = 0;
      continue;
    }
    bool found = false;
    for (int d = 0; d < 10 && !found; ++d) {
      if (line == alt_digit(d)) {
        number = number * 10 + static_cast<uint32_t>(d);
        ++digits;
        found = true;
      }
    }
    EXPECT_TRUE(found) << line;
  }
  EXPECT_EQ(digits, 0);
  return numbers;
}

class TypingTest : public ::testing::Test {
 protected:
  CommandCapture capture;
};

TEST_F(TypingTest, KeyStringTypesEachByteAndCountsAllOfThem) {
  EXPECT_EQ(key_string("a\r~\n"), 4);
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0, {0x04}), kAllUp, sleep_line(30),
                                   keyboard_line(0, {0x28}), kAllUp, sleep_line(30)}));
  EXPECT_EQ(key_string("F1"), 2);  // one byte at a time: never a special key name
  EXPECT_EQ(capture.take(), (Lines{keyboard_line(0, {0x09}), kAllUp, sleep_line(30),
                                   keyboard_line(0, {0x1E}), kAllUp, sleep_line(30)}));
  EXPECT_EQ(key_string("中"), 3);
  EXPECT_EQ(key_string(""), 0);
  EXPECT_EQ(key_string(nullptr), 0);
  EXPECT_TRUE(capture.take().empty());
}

TEST_F(TypingTest, UnicodeStringTypesTheUtf16CodeOfALetter) {
  key_unicodestring("A");
  EXPECT_EQ(capture.take(), joined({unicode_unit({0, 0, 0, 6, 5}), {kAllUp}}));
}

TEST_F(TypingTest, UnicodeStringTypesChineseAndSurrogatePairs) {
  key_unicodestring("中");  // U+4E2D
  EXPECT_EQ(capture.take(), joined({unicode_unit({2, 0, 0, 1, 3}), {kAllUp}}));
  key_unicodestring("😀");  // U+1F600: D83D DE00
  EXPECT_EQ(capture.take(),
            joined({unicode_unit({5, 5, 3, 5, 7}), unicode_unit({5, 6, 8, 3, 2}), {kAllUp}}));
}

TEST_F(TypingTest, UnicodeStringOfNothingSendsOnlyTheFinalRelease) {
  key_unicodestring("");
  key_unicodestring(nullptr);
  EXPECT_EQ(capture.take(), (Lines{kAllUp, kAllUp}));
}

TEST_F(TypingTest, UnicodeStringMarksBytesThatFormNoCharacter) {
  key_unicodestring(
      "a\xFF"
      "b\xE4\xB8");  // a stray byte and a cut-off character
  EXPECT_EQ(typed_numbers(capture.take()),
            (std::vector<uint32_t>{'a', 0xFFFD, 'b', 0xFFFD, 0xFFFD}));
}

TEST_F(TypingTest, UnicodeStringTypesLongTextsWhole) {
  // 255 letters, then a pair that does not fit the rest of the first 256-unit piece.
  std::string text(255, 'x');
  text += "😀";
  text += std::string(300, 'y');
  text += "中";
  key_unicodestring(text.c_str());
  std::vector<uint32_t> expected(255, 'x');
  expected.push_back(0xD83D);
  expected.push_back(0xDE00);
  expected.insert(expected.end(), 300, 'y');
  expected.push_back(0x4E2D);
  const size_t frames = capture.frame_count();
  const int64_t slept = capture.slept_ms();
  EXPECT_EQ(typed_numbers(capture.take()), expected);
  EXPECT_EQ(frames, expected.size() * 11 + 1);
  EXPECT_EQ(slept, static_cast<int64_t>(expected.size()) * 175);
}

TEST_F(TypingTest, GbkStringTypesLetterAndChineseCodes) {
  key_gbkstring("A");  // 65 x 256
  EXPECT_EQ(capture.take(), gbk_character({1, 6, 6, 4, 0}));
  key_gbkstring("啊中");  // GBK B0 A1 and D6 D0
  EXPECT_EQ(capture.take(),
            joined({gbk_character({4, 5, 2, 1, 7}), gbk_character({5, 4, 9, 9, 2})}));
}

TEST_F(TypingTest, GbkStringSkipsWhatGbkCannotHold) {
  key_gbkstring("a😀กb");  // outside the BMP, and a Thai letter
  EXPECT_EQ(typed_numbers(capture.take()), (std::vector<uint32_t>{'a' * 256, 'b' * 256}));
  key_gbkstring("");
  key_gbkstring(nullptr);
  key_gbkstring("😀");
  EXPECT_TRUE(capture.take().empty());
}

TEST(Utf16, ConvertsHighByteFirst) {
  uint8_t out[kUtf16BufferSize] = {};
  const char text[] = "A中😀";
  size_t consumed = 0;
  ASSERT_EQ(to_utf16_be(text, out, sizeof text - 1, sizeof out, &consumed), 8u);
  EXPECT_EQ(consumed, sizeof text - 1);
  const uint8_t expected[] = {0x00, 0x41, 0x4E, 0x2D, 0xD8, 0x3D, 0xDE, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(expected, expected + 8));
}

TEST(Utf16, StopsAtAFullBufferWithoutSplittingACharacter) {
  uint8_t out[6] = {};
  const char text[] = "ab😀c";
  size_t consumed = 0;
  EXPECT_EQ(to_utf16_be(text, out, sizeof text - 1, sizeof out, &consumed), 4u);
  EXPECT_EQ(consumed, 2u);
  EXPECT_EQ(to_utf16_be(text + consumed, out, sizeof text - 1 - consumed, sizeof out, &consumed),
            6u);
  EXPECT_EQ(consumed, 5u);  // the pair and "c"
  EXPECT_EQ(out[4], 0x00);
  EXPECT_EQ(out[5], 'c');
}

TEST(Utf16, AbsentOrEmptySourceWritesNothing) {
  uint8_t out[4] = {};
  size_t consumed = 99;
  EXPECT_EQ(to_utf16_be(nullptr, out, 5, sizeof out, &consumed), 0u);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(to_utf16_be("abc", out, 0, sizeof out, &consumed), 0u);
}

}  // namespace
}  // namespace tapline
