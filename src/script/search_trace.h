// TAPLINE_TRACE=DIR: every FindColor, FindBmp, FindBmpEx, GetScreenText and FindText call
// leaves a numbered PNG picture of what it searched in DIR (NNNN-Function.png; the text
// functions' pictures frame each word read) and one line of text beside it
// (NNNN-Function.txt): the call with its arguments, the result, what came nearest when
// nothing matched (the text functions: how many words were read), and the time the
// search took. Each call takes the next number no file
// in DIR has yet, so that runs sharing DIR keep each other's pictures; the files are new
// and private (0600). A run stops tracing at TAPLINE_TRACE_MAX_PICTURES pictures (1000)
// or TAPLINE_TRACE_MAX_BYTES bytes (1 GiB), and says so once.
#pragma once

#include <cstdint>
#include <lua.hpp>
#include <optional>
#include <string>
#include <vector>

#include "image/search.h"
#include "script/word_match.h"

namespace tapline::script {

// The trace directory, read from the environment once per process; nullptr when tracing
// is off, which is all a search spends on tracing then.
const char* search_trace_directory();

struct SearchTrace {
  const char* function = nullptr;
  const image::PixelView* grab = nullptr;  // nullptr when the call took no grab
  image::SearchRegion region;
  image::PixelView pattern;  // empty for FindColor
  std::optional<image::Point> found;
  int64_t color = 0;            // FindColor: the colour searched for
  image::PatternAnchor anchor;  // the bitmap searches: what candidates are keyed on
  uint32_t tolerance = 0;       // FindBmpEx
  uint32_t elapsed_ms = 0;
  const char* note = nullptr;  // why nothing was searched, when that is so
  // The text functions: the words read (nullptr for the other searches), the size of the
  // words found, and the result as the line shows it when it is no point.
  const std::vector<ReadWord>* words = nullptr;
  image::Point found_size{1, 1};
  std::string result;
};

// Writes the picture and its line for one call; the call's arguments are read from the
// Lua stack, which must still hold them. Failures are said once on standard error.
void write_search_trace(lua_State* L, const char* directory, const SearchTrace& trace);

}  // namespace tapline::script
