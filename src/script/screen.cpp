#include <string>
#include <vector>

#include "image/bmp.h"
#include "script/args.h"
#include "script/screen_common.h"
#include "script/script_functions.h"
#include "script/search_trace.h"
#include "system/clock.h"
#include "system/console.h"
#include "system/file_replace.h"

namespace tapline::script {
namespace {

using platform::ScreenSize;

// ScreenBitmap: the last whole-screen capture, held as the bytes of its 24-bit BMP file
// and reused from one capture to the next.
std::vector<uint8_t> screen_bitmap;

int grab_edge(int edge, int limit) { return (edge < 0 || edge > limit) ? limit : edge; }

}  // namespace

bool take_screen_grab(const char* function, int right, int bottom, PixelView& out) {
  const ScreenSize size = platform::screen().size();
  const int width = grab_edge(right, size.width), height = grab_edge(bottom, size.height);
  if (width <= 0 || height <= 0) return false;  // no screen: already said at start
  if (platform::screen().grab(width, height, out)) return true;
  system::console_diagnostic_from(function, "the screen could not be read\n");
  return false;
}

int GetScreenResolution(lua_State* L) {
  const ScreenSize size = platform::screen().size();
  lua_pushinteger(L, size.width);
  lua_pushinteger(L, size.height);
  return 2;
}

int GetMousePosition(lua_State* L) {
  // Without a screen there is no cursor: -1, -1, which no screen point has.
  const auto cursor = platform::screen().cursor();
  lua_pushinteger(L, cursor ? cursor->x : -1);
  lua_pushinteger(L, cursor ? cursor->y : -1);
  return 2;
}

int GetColor(lua_State* L) {
  std::optional<ScreenPoint> point;
  if (lua_gettop(L) == 0) {
    point = platform::screen().cursor();
  } else {
    point = ScreenPoint{to_coordinate(arg_number(L, 1)), to_coordinate(arg_number(L, 2))};
  }
  uint32_t color = 0xFFFFFFFF;  // what an unreadable pixel gives
  if (point) {
    if (const auto value = platform::screen().pixel(*point)) color = *value;
  }
  const int red = color & 0xFF, green = (color >> 8) & 0xFF, blue = (color >> 16) & 0xFF;
  system::console_printf("颜色RGB：%d,%d,%d    %d\n", red, green, blue,
                         static_cast<int32_t>(color));
  lua_pushinteger(L, color);
  lua_pushinteger(L, red);
  lua_pushinteger(L, green);
  lua_pushinteger(L, blue);
  return 4;
}

int CaptureScreen(lua_State* L) {
  system::console_printf("screencpy\n");
  // Only a saved capture can be seen, so without a path nothing is grabbed.
  const char* path = arg_text(L, 1);
  if (path == nullptr) return 0;
  if (const char* kind = system::unreplaceable_file_kind(path, system::Replacing::by_rename)) {
    system::console_diagnostic_from("CaptureScreen", "%s is %s, not a file; nothing was written\n",
                                    path, kind);
    return 0;
  }
  const ScreenSize size = platform::screen().size();
  PixelView whole;
  if (!take_screen_grab("CaptureScreen", size.width, size.height, whole)) {
    system::console_diagnostic_from("CaptureScreen",
                                    "there is no screen to save; %s was not written\n", path);
    return 0;
  }
  image::encode_bmp24(whole, screen_bitmap);
  std::string error;
  if (!system::write_file_replacing(path, screen_bitmap, error))
    system::console_diagnostic_from("CaptureScreen", "cannot write %s: %s\n", path, error.c_str());
  return 0;
}

int FindColor(lua_State* L) {
  const ScreenSize size = platform::screen().size();
  const int arguments = lua_gettop(L);
  int64_t color = 0;
  SearchRegion region{0, 0, size.width, size.height};
  if (arguments == 1) {
    color = arg_integer(L, 1);
  } else if (arguments == 5) {
    color = arg_integer(L, 1);
    region = {to_coordinate(arg_integer(L, 2)), to_coordinate(arg_integer(L, 3)),
              to_coordinate(arg_integer(L, 4)), to_coordinate(arg_integer(L, 5))};
    region.x1 = std::max(region.x1, 0);
    region.y1 = std::max(region.y1, 0);
    if (region.x1 >= size.width) region.x1 = size.width - 1;
    if (region.y1 >= size.height) region.y1 = size.height - 1;
    if (region.x2 >= size.width) region.x2 = size.width - 1;
    if (region.y2 >= size.height) region.y2 = size.height - 1;
  }

  const uint32_t start = system::tick_ms();
  std::optional<ScreenPoint> found;
  PixelView grab;
  // An empty region has nothing to scan, so it needs no grab.
  if (region.x1 < region.x2 && region.y1 < region.y2 &&
      take_screen_grab("FindColor", region.x2, region.y2, grab))
    found = find_color(grab, color, region);
  const uint32_t elapsed = system::tick_ms() - start;
  if (found) system::console_printf("found color...\n");
  system::console_printf("耗时%u ms\n", elapsed);
  if (const char* trace_directory = search_trace_directory()) {
    SearchTrace trace;
    trace.function = "FindColor";
    trace.grab = grab.empty() ? nullptr : &grab;
    trace.region = region;
    trace.found = found;
    trace.color = color;
    trace.elapsed_ms = elapsed;
    write_search_trace(L, trace_directory, trace);
  }
  lua_pushinteger(L, found ? found->x : -1);
  lua_pushinteger(L, found ? found->y : -1);
  return 2;
}

}  // namespace tapline::script
