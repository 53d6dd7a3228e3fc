// GetScreenText and FindText: the screen's text, read by the text engine.
#include <string>
#include <vector>

#include "script/args.h"
#include "script/screen_common.h"
#include "script/script_functions.h"
#include "script/search_trace.h"
#include "script/text_reader.h"
#include "script/word_match.h"
#include "system/clock.h"
#include "system/text_codec.h"

namespace tapline::script {
namespace {

// The region from the four arguments at `first`: x1 <= x < x2, y1 <= y < y2, held within
// the screen; an x2 or y2 of 0 (or none given) means the whole screen, as for FindBmp.
SearchRegion text_region(lua_State* L, int first) {
  const platform::ScreenSize size = platform::screen().size();
  SearchRegion region{to_coordinate(arg_number(L, first)), to_coordinate(arg_number(L, first + 1)),
                      to_coordinate(arg_number(L, first + 2)),
                      to_coordinate(arg_number(L, first + 3))};
  region.x1 = std::max(region.x1, 0);
  region.y1 = std::max(region.y1, 0);
  if (region.x2 == 0 || region.y2 == 0) region.x2 = size.width, region.y2 = size.height;
  region.x2 = std::min(region.x2, size.width);
  region.y2 = std::min(region.y2, size.height);
  return region;
}

// Grabs and reads the call's region; false when nothing could be read.
bool read_region(lua_State* L, SearchTrace& call, PixelView& grab, const std::string& language) {
  const SearchRegion& region = call.region;
  if (region.x1 >= region.x2 || region.y1 >= region.y2) return false;
  if (!take_screen_grab(call.function, region.x2, region.y2, grab)) return false;
  TextReader& reader = text_reader(L);
  const bool read = reader.read(call.function, grab, region, language);
  call.grab = &grab;
  call.words = &reader.words();
  return read;
}

void finish(lua_State* L, const SearchTrace& call) {
  if (const char* directory = search_trace_directory()) write_search_trace(L, directory, call);
}

}  // namespace

int GetScreenText(lua_State* L) {
  SearchTrace call;
  call.function = "GetScreenText";
  call.region = text_region(L, 1);
  const std::string language = text_language(L, 5);
  const uint32_t start = system::tick_ms();
  PixelView grab;
  const bool read = read_region(L, call, grab, language);
  const std::string text = read ? text_of(*call.words) : std::string();
  call.elapsed_ms = system::tick_ms() - start;
  call.result = text.empty() ? "nil" : std::to_string(text.size()) + " bytes of text";
  finish(L, call);
  if (text.empty()) {
    lua_pushnil(L);
    return 1;
  }
  const std::string shown = system::utf8_to_locale(text);
  lua_pushlstring(L, shown.data(), shown.size());
  return 1;
}

int FindText(lua_State* L) {
  SearchTrace call;
  call.function = "FindText";
  size_t length = 0;
  const char* wanted = arg_text(L, 1, &length);
  call.region = text_region(L, 2);
  const std::string language = text_language(L, 6);
  const std::string phrase =
      wanted != nullptr ? comparable_phrase(system::locale_to_utf8({wanted, length})) : "";
  const uint32_t start = system::tick_ms();
  PixelView grab;
  std::optional<PhraseMatch> match;
  if (phrase.empty()) {
    call.note = "no search: the text has no word to compare";
  } else if (read_region(L, call, grab, language)) {
    match = find_phrase(*call.words, phrase);
  }
  call.elapsed_ms = system::tick_ms() - start;
  if (match) {
    call.found = image::Point{match->x, match->y};
    call.found_size = {match->width, match->height};
  }
  finish(L, call);
  if (!match) {
    lua_pushinteger(L, -1);
    lua_pushinteger(L, -1);
    return 2;
  }
  lua_pushinteger(L, match->x);
  lua_pushinteger(L, match->y);
  lua_pushinteger(L, match->width);
  lua_pushinteger(L, match->height);
  lua_pushinteger(L, match->confidence);
  return 5;
}

}  // namespace tapline::script
