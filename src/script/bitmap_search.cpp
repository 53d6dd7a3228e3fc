#include <sys/stat.h>

#include <string>

#include "image/bmp.h"
#include "script/args.h"
#include "script/screen_common.h"
#include "script/script_functions.h"
#include "script/search_trace.h"
#include "system/clock.h"
#include "system/console.h"

namespace tapline::script {
namespace {

using image::Bitmap;
using platform::ScreenSize;

// The region of both searches from arguments 2 to 5.
SearchRegion bitmap_region(lua_State* L) {
  const ScreenSize size = platform::screen().size();
  SearchRegion region{to_coordinate(arg_number(L, 2)), to_coordinate(arg_number(L, 3)),
                      to_coordinate(arg_number(L, 4)), to_coordinate(arg_number(L, 5))};
  region.x1 = std::max(region.x1, 0);
  region.y1 = std::max(region.y1, 0);
  if (region.x2 == 0 || region.y2 == 0) region.x2 = size.width, region.y2 = size.height;
  if (region.x2 >= size.width) region.x2 = size.width - 1;
  if (region.y2 >= size.height) region.y2 = size.height - 1;
  return region;
}

bool file_exists(const char* path) {
  struct stat info {};
  return path != nullptr && ::stat(path, &info) == 0;
}

// A file that exists but is no usable picture is refused like a missing one, and said.
bool read_pattern(const char* function, const char* path, Bitmap& pattern) {
  std::string error;
  if (image::read_bmp(path, pattern, error)) return true;
  system::console_diagnostic_from(function, "%s is not a usable BMP picture: %s\n", path,
                                  error.c_str());
  return false;
}

int push_corner(lua_State* L, const std::optional<ScreenPoint>& corner) {
  lua_pushinteger(L, corner ? corner->x : -1);
  lua_pushinteger(L, corner ? corner->y : -1);
  return 2;
}

constexpr const char* kNoFile = "no search: the pattern file does not exist";
constexpr const char* kNoPicture = "no search: the pattern file is not a usable BMP picture";

// The results of a call, after its trace when tracing is on.
int finish(lua_State* L, const SearchTrace& call) {
  if (const char* directory = search_trace_directory()) write_search_trace(L, directory, call);
  return push_corner(L, call.found);
}

// A call refused before any search: -1, -1, and the trace says why.
int refuse(lua_State* L, SearchTrace& call, const char* why) {
  call.note = why;
  return finish(L, call);
}

}  // namespace

int FindBmp(lua_State* L) {
  const char* path = arg_text(L, 1);
  SearchTrace call;
  call.function = "FindBmp";
  call.region = bitmap_region(L);
  if (!file_exists(path)) return refuse(L, call, kNoFile);

  const uint32_t start = system::tick_ms();
  Bitmap pattern;
  if (!read_pattern("FindBmp", path, pattern)) return refuse(L, call, kNoPicture);
  system::console_printf("GetBmpData");
  system::console_printf("GetScreenData");
  PixelView grab;
  const bool grabbed = take_screen_grab(call.function, call.region.x2, call.region.y2, grab);
  system::console_printf("FindBmpBuf");
  call.pattern = pattern.view();
  // The exact search keys its candidates on the pattern's top-left pixel.
  call.anchor = {0, 0, call.pattern.row(0)[0]};
  if (grabbed) {
    call.grab = &grab;
    call.found = find_pattern_exact(grab, call.pattern, call.region);
    // The texts of the candidate scans follow from where the anchor colour lies before
    // the result; they are written in one pass once the result is known.
    std::fflush(stdout);
    BufferedText progress(stdout);
    write_exact_progress(grab, call.anchor.pixel, call.region, call.found, progress);
  }
  system::console_printf("ReleaseLP");
  call.elapsed_ms = system::tick_ms() - start;
  if (call.found) system::console_printf("FindBmp found\n");
  system::console_printf("耗时%u ms\n", call.elapsed_ms);
  return finish(L, call);
}

int FindBmpEx(lua_State* L) {
  const char* path = arg_text(L, 1);
  SearchTrace call;
  call.function = "FindBmpEx";
  call.region = bitmap_region(L);
  const int64_t budget = difference_budget(call.region, arg_integer(L, 6));
  call.tolerance = static_cast<uint32_t>(arg_integer(L, 7));
  if (!file_exists(path)) return refuse(L, call, kNoFile);

  const uint32_t start = system::tick_ms();
  Bitmap pattern;
  if (!read_pattern("FindBmpEx", path, pattern)) return refuse(L, call, kNoPicture);
  PixelView grab;
  call.pattern = pattern.view();
  call.anchor = image::tolerant_anchor(call.pattern);
  if (take_screen_grab(call.function, call.region.x2, call.region.y2, grab)) {
    call.grab = &grab;
    call.found = find_pattern_tolerant(grab, call.pattern, call.region, budget, call.tolerance);
  }
  call.elapsed_ms = system::tick_ms() - start;
  if (call.found) system::console_printf("FindBmpEx found\n");
  system::console_printf("耗时%u ms\n", call.elapsed_ms);
  return finish(L, call);
}

}  // namespace tapline::script
