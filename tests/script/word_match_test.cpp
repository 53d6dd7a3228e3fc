// How read words are compared, searched and made text, without the text engine.
#include "script/word_match.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tapline::script::comparable_phrase;
using tapline::script::comparable_word;
using tapline::script::find_phrase;
using tapline::script::ReadWord;

// Words of one line each 10 pixels tall, 50 apart; "|" starts a new line 20 pixels lower.
std::vector<ReadWord> line_words(const std::vector<std::string>& texts) {
  std::vector<ReadWord> words;
  int x = 0, y = 0;
  bool starts = true;
  for (const std::string& text : texts) {
    if (text == "|") {
      x = 0, y += 20, starts = true;
      continue;
    }
    words.push_back({text, x, y, 40, 10, 90, starts});
    x += 50, starts = false;
  }
  return words;
}

TEST(WordMatch, ComparesWithoutCaseAndSurroundingPunctuation) {
  EXPECT_EQ(comparable_word("\"Save,\""), "save");
  EXPECT_EQ(comparable_word("(e-mail)"), "e-mail");
  EXPECT_EQ(comparable_word("«Été»"), "Été");  // only A to Z change case
  EXPECT_EQ(comparable_word("“设置”。"), "设置");
  EXPECT_EQ(comparable_word("..."), "");
  EXPECT_EQ(comparable_phrase("  Save  AS: "), "saveas");
}

TEST(WordMatch, FindsTheFirstRunOfWholeWordsInReadingOrder) {
  const auto words = line_words({"Open", "unsaved", "file", "|", "save", "As:", "|", "Save", "as"});
  const auto match = find_phrase(words, comparable_phrase("SAVE as"));
  ASSERT_TRUE(match);
  EXPECT_EQ(match->first_word, 3u);
  EXPECT_EQ(match->word_count, 2u);
  EXPECT_EQ(match->x, 0);
  EXPECT_EQ(match->y, 20);
  EXPECT_EQ(match->width, 90);
  EXPECT_EQ(match->height, 10);
  EXPECT_EQ(match->confidence, 90);
  EXPECT_FALSE(find_phrase(words, comparable_phrase("saved")));  // not inside a word
  EXPECT_FALSE(find_phrase(words, comparable_phrase("file open")));
  EXPECT_FALSE(find_phrase(words, comparable_phrase(" , ")));
  // Words the engine joined or split still match; across lines the box holds both.
  EXPECT_TRUE(find_phrase(line_words({"Saveas"}), "saveas"));
  const auto split = find_phrase(line_words({"设置", "|", "窗口"}), comparable_phrase("设置窗口"));
  ASSERT_TRUE(split);
  EXPECT_EQ(split->height, 30);
}

TEST(WordMatch, StrayMarksAreLeftOutAndTextKeepsTheLines) {
  auto words = line_words({"(", "Battery", "level", "|", "[", "high", "-", "|", "设置", "窗口"});
  words[0].height = 60;      // a panel's edge: far taller than the letters
  words[3].confidence = 30;  // doubtful
  tapline::script::leave_out_stray_marks(words);
  EXPECT_EQ(tapline::script::text_of(words), "Battery level\nhigh -\n设置窗口");
}

}  // namespace
