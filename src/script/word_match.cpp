#include "script/word_match.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

namespace tapline::script {
namespace {

// The code point at the start of `text` and its length in bytes; an invalid byte is
// taken as a code point of its own.
std::pair<char32_t, size_t> first_code_point(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const size_t length = lead < 0x80    ? 1
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC0 ? 2
                                       : 1;
  if (length == 1 || length > text.size()) return {lead, 1};
  char32_t code = lead & (0x3F >> (length - 1));
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return {lead, 1};
    code = (code << 6) | (next & 0x3F);
  }
  return {code, length};
}

// The code point at the end of `text` and its length in bytes.
std::pair<char32_t, size_t> last_code_point(std::string_view text) {
  size_t start = text.size() - 1;
  while (start > 0 && text.size() - start < 4 &&
         (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
    --start;
  const auto [code, length] = first_code_point(text.substr(start));
  if (start + length == text.size()) return {code, length};
  return {static_cast<unsigned char>(text.back()), 1};
}

bool is_punctuation(char32_t code) {
  if (code < 0x80) {
    return (code >= 0x21 && code <= 0x2F) || (code >= 0x3A && code <= 0x40) ||
           (code >= 0x5B && code <= 0x60) || (code >= 0x7B && code <= 0x7E);
  }
  return (code >= 0x2010 && code <= 0x205E) ||  // dashes, quotes, dots
         (code >= 0x3000 && code <= 0x303F) ||  // CJK punctuation
         (code >= 0xFF01 && code <= 0xFF0F) || (code >= 0xFF1A && code <= 0xFF20) ||
         (code >= 0xFF3B && code <= 0xFF40) || (code >= 0xFF5B && code <= 0xFF65) || code == 0xA1 ||
         code == 0xAB || code == 0xBB || code == 0xBF;
}

// Chinese, Japanese and Korean characters, which are written without blanks between.
bool is_cjk(char32_t code) {
  return (code >= 0x2E80 && code <= 0x9FFF) || (code >= 0xAC00 && code <= 0xD7AF) ||
         (code >= 0xF900 && code <= 0xFAFF) || (code >= 0xFF00 && code <= 0xFFEF) ||
         (code >= 0x20000 && code <= 0x3FFFF);
}

}  // namespace

std::string comparable_word(std::string_view word) {
  while (!word.empty()) {
    const auto [code, length] = first_code_point(word);
    if (!is_punctuation(code)) break;
    word.remove_prefix(length);
  }
  while (!word.empty()) {
    const auto [code, length] = last_code_point(word);
    if (!is_punctuation(code)) break;
    word.remove_suffix(length);
  }
  std::string comparable(word);
  for (char& c : comparable)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return comparable;
}

std::string comparable_phrase(std::string_view phrase) {
  std::string comparable;
  for (size_t start = 0; start < phrase.size();) {
    const size_t end = std::min(phrase.find_first_of(" \t\r\n", start), phrase.size());
    comparable += comparable_word(phrase.substr(start, end - start));
    start = end + 1;
  }
  return comparable;
}

std::optional<PhraseMatch> find_phrase(std::span<const ReadWord> words, std::string_view wanted) {
  if (wanted.empty()) return std::nullopt;
  for (size_t first = 0; first < words.size(); ++first) {
    std::string read = comparable_word(words[first].text);
    if (read.empty()) continue;
    for (size_t last = first;; ++last) {
      if (read == wanted) {
        PhraseMatch match{first, last - first + 1, words[first].x, words[first].y, 0, 0, 100};
        int right = match.x, bottom = match.y;
        for (const ReadWord& word : words.subspan(first, match.word_count)) {
          match.x = std::min(match.x, word.x);
          match.y = std::min(match.y, word.y);
          right = std::max(right, word.x + word.width);
          bottom = std::max(bottom, word.y + word.height);
          match.confidence = std::min(match.confidence, word.confidence);
        }
        match.width = right - match.x;
        match.height = bottom - match.y;
        return match;
      }
      if (!wanted.starts_with(read) || last + 1 == words.size()) break;
      read += comparable_word(words[last + 1].text);
    }
  }
  return std::nullopt;
}

void leave_out_stray_marks(std::vector<ReadWord>& words) {
  constexpr int kLeastConfidence = 60;
  std::vector<int> heights;
  for (const ReadWord& word : words)
    if (!comparable_word(word.text).empty()) heights.push_back(word.height);
  int most_height = INT_MAX;
  if (!heights.empty()) {
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    most_height = 2 * heights[heights.size() / 2];
  }
  bool line_starts = false;  // a word left out started the line: the next one starts it
  size_t kept = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    ReadWord& word = words[i];
    word.starts_line = word.starts_line || line_starts;
    const bool stray = comparable_word(word.text).empty() &&
                       (word.confidence < kLeastConfidence || word.height > most_height);
    line_starts = stray && word.starts_line;
    if (stray) continue;
    if (kept != i) words[kept] = std::move(word);
    ++kept;
  }
  words.resize(kept);
}

std::string text_of(std::span<const ReadWord> words) {
  std::string text;
  for (const ReadWord& word : words) {
    if (word.text.empty()) continue;
    if (!text.empty()) {
      if (word.starts_line) {
        text += '\n';
      } else if (!is_cjk(last_code_point(text).first) ||
                 !is_cjk(first_code_point(word.text).first)) {
        text += ' ';
      }
    }
    text += word.text;
  }
  return text;
}

}  // namespace tapline::script
