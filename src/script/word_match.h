// The words read off the screen, and how GetScreenText and FindText make text of them:
// plain logic, kept apart from the text engine so that it is tested without it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tapline::script {

// One word as the engine read it: UTF-8 text and its box in screen pixels.
struct ReadWord {
  std::string text;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int confidence = 0;        // 0 to 100
  bool starts_line = false;  // the first word of a text line
};

// The word as it is compared: Latin letters A to Z in lower case, the punctuation before
// and after it (ASCII, general and CJK punctuation, full-width forms) left out.
std::string comparable_word(std::string_view word);

// Where the words of `phrase` are read, in that order.
struct PhraseMatch {
  size_t first_word = 0;
  size_t word_count = 0;
  int x = 0;  // the box around the matched words
  int y = 0;
  int width = 0;
  int height = 0;
  int confidence = 0;  // the lowest of the matched words
};

// The phrase as it is compared: the comparable forms of its blank-separated words, joined.
std::string comparable_phrase(std::string_view phrase);

// The first run of consecutive words, in reading order, whose comparable forms joined
// give `wanted` (a comparable phrase): "Save as" is found in the words "save" "As:", and
// in "Saveas" read as one word, but not inside "unsaved". Empty when `wanted` is empty or
// not among the words.
std::optional<PhraseMatch> find_phrase(std::span<const ReadWord> words, std::string_view wanted);

// Leaves out what the engine takes for punctuation where there is none: a word of
// punctuation alone that is doubtful (confidence below 60) or more than twice as tall as
// the lettered words' median, most often the edge of a panel or a button.
void leave_out_stray_marks(std::vector<ReadWord>& words);

// The words as text: one line per text line, the lines separated by "\n", words separated
// by one blank except between two Chinese, Japanese or Korean characters.
std::string text_of(std::span<const ReadWord> words);

}  // namespace tapline::script
