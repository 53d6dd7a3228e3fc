#include <sys/stat.h>

#include <string>

#include "image/bmp.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "script/args.h"
#include "script/screen_common.h"
#include "script/script_functions.h"
#include "script/search_trace.h"

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
  console_eprintf("%s: %s is not a usable BMP picture: %s\n", function, path, error.c_str());
  return false;
}

// One traced call of FindBmp or FindBmpEx; `grab` and `pattern` are nullptr for what the
// call did not get to.
struct BitmapCall {
  const char* function;
  SearchRegion region;
  const PixelView* grab = nullptr;
  const Bitmap* pattern = nullptr;
  image::PatternAnchor anchor{};
  uint32_t tolerance = 0;
  std::optional<ScreenPoint> found{};
  uint32_t elapsed_ms = 0;
  const char* note = nullptr;
};

void trace(lua_State* L, const char* directory, const BitmapCall& call) {
  SearchTrace trace;
  trace.function = call.function;
  trace.grab = call.grab;
  trace.region = call.region;
  if (call.pattern != nullptr) trace.pattern = call.pattern->view();
  trace.found = call.found;
  trace.anchor = call.anchor;
  trace.tolerance = call.tolerance;
  trace.elapsed_ms = call.elapsed_ms;
  trace.note = call.note;
  write_search_trace(L, directory, trace);
}

constexpr const char* kNoFile = "no search: the pattern file does not exist";
constexpr const char* kNoPicture = "no search: the pattern file is not a usable BMP picture";

int push_corner(lua_State* L, const std::optional<ScreenPoint>& corner) {
  lua_pushinteger(L, corner ? corner->x : -1);
  lua_pushinteger(L, corner ? corner->y : -1);
  return 2;
}

}  // namespace

int FindBmp(lua_State* L) {
  const char* path = arg_text(L, 1);
  BitmapCall call{"FindBmp", bitmap_region(L)};
  const char* trace_directory = search_trace_directory();
  if (!file_exists(path)) {
    call.note = kNoFile;
    if (trace_directory != nullptr) trace(L, trace_directory, call);
    return push_corner(L, std::nullopt);
  }

  const uint32_t start = platform::tick_ms();
  Bitmap pattern;
  if (!read_pattern("FindBmp", path, pattern)) {
    call.note = kNoPicture;
    if (trace_directory != nullptr) trace(L, trace_directory, call);
    return push_corner(L, std::nullopt);
  }
  console_printf("GetBmpData");
  console_printf("GetScreenData");
  PixelView grab;
  const bool grabbed = take_screen_grab(call.region.x2, call.region.y2, grab);
  console_printf("FindBmpBuf");
  const PixelView pattern_view = pattern.view();
  if (grabbed) {
    call.found = find_pattern_exact(grab, pattern_view, call.region);
    // The texts of the candidate scans follow from where the anchor colour lies before
    // the result; they are written in one pass once the result is known.
    std::fflush(stdout);
    BufferedText progress(stdout);
    write_exact_progress(grab, pattern_view.row(0)[0], call.region, call.found, progress);
  }
  console_printf("ReleaseLP");
  call.elapsed_ms = platform::tick_ms() - start;
  if (call.found) console_printf("FindBmp found\n");
  console_printf("耗时%u ms\n", call.elapsed_ms);
  if (trace_directory != nullptr) {
    call.grab = grabbed ? &grab : nullptr;
    call.pattern = &pattern;
    call.anchor = {0, 0, pattern_view.row(0)[0]};  // the exact search keys on the top-left pixel
    trace(L, trace_directory, call);
  }
  return push_corner(L, call.found);
}

int FindBmpEx(lua_State* L) {
  const char* path = arg_text(L, 1);
  BitmapCall call{"FindBmpEx", bitmap_region(L)};
  const int64_t budget = difference_budget(call.region, arg_integer(L, 6));
  call.tolerance = static_cast<uint32_t>(arg_integer(L, 7));
  const char* trace_directory = search_trace_directory();
  if (!file_exists(path)) {
    call.note = kNoFile;
    if (trace_directory != nullptr) trace(L, trace_directory, call);
    return push_corner(L, std::nullopt);
  }

  const uint32_t start = platform::tick_ms();
  Bitmap pattern;
  if (!read_pattern("FindBmpEx", path, pattern)) {
    call.note = kNoPicture;
    if (trace_directory != nullptr) trace(L, trace_directory, call);
    return push_corner(L, std::nullopt);
  }
  PixelView grab;
  const bool grabbed = take_screen_grab(call.region.x2, call.region.y2, grab);
  if (grabbed)
    call.found = find_pattern_tolerant(grab, pattern.view(), call.region, budget, call.tolerance);
  call.elapsed_ms = platform::tick_ms() - start;
  if (call.found) console_printf("FindBmpEx found\n");
  console_printf("耗时%u ms\n", call.elapsed_ms);
  if (trace_directory != nullptr) {
    call.grab = grabbed ? &grab : nullptr;
    call.pattern = &pattern;
    call.anchor = image::tolerant_anchor(pattern.view());
    trace(L, trace_directory, call);
  }
  return push_corner(L, call.found);
}

}  // namespace tapline::script
