// What TAPLINE_TRACE costs. Off, a search asks once per process whether tracing is on and
// afterwards tests one pointer: the bench times that test alone and FindColor and
// FindBmpEx through their script functions against the same grab and search done
// directly. On, it times the same calls writing their pictures.
//
//   bench_search_trace                      tracing off
//   TAPLINE_TRACE=/tmp/t bench_search_trace  tracing on (pictures go to /tmp/t)
//
// The screen is a 1920x1080 noise picture (TAPLINE_SCREEN), the pattern 64x48 near its
// bottom right. Prints one line per figure: median and fastest time of the runs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <lua.hpp>
#include <random>
#include <string>
#include <vector>

#include "image/bmp.h"
#include "image/search.h"
#include "platform/screen_source.h"
#include "script/script_functions.h"
#include "script/search_trace.h"
#include "system/file_replace.h"
#include "timing.h"

namespace {

using namespace tapline;
using bench::report;
using image::Pixel;
using image::PixelView;

constexpr int kWidth = 1920, kHeight = 1080, kPatternWidth = 64, kPatternHeight = 48;
constexpr int kPatternX = 1800, kPatternY = 1000;

void write_bmp(const std::string& path, const PixelView& view) {
  std::vector<uint8_t> bytes;
  image::encode_bmp24(view, bytes);
  std::string error;
  if (!system::write_file_replacing(path.c_str(), bytes, error))
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), error.c_str());
}

// Runs Lua code with standard output (the functions' own texts) sent to /dev/null.
class Quiet {
 public:
  Quiet() : L(luaL_newstate()), sink_(open("/dev/null", O_WRONLY)) {
    lua_register(L, "FindColor", script::FindColor);
    lua_register(L, "FindBmpEx", script::FindBmpEx);
  }
  ~Quiet() {
    lua_close(L);
    close(sink_);
  }
  void run(const std::string& code) {
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(sink_, 1);
    if (luaL_dostring(L, code.c_str()) != LUA_OK) std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
    lua_settop(L, 0);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
  lua_State* const L;

 private:
  int sink_;
};

}  // namespace

int main() {
  char directory[] = "/tmp/bench_search_trace_XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string dir = directory;
  std::mt19937 random(7);
  std::vector<Pixel> screen(static_cast<size_t>(kWidth) * kHeight);
  for (Pixel& pixel : screen) pixel = random() & image::kPixelColorMask;
  std::vector<Pixel> pattern(static_cast<size_t>(kPatternWidth) * kPatternHeight);
  for (int y = 0; y < kPatternHeight; ++y)
    std::copy_n(&screen[static_cast<size_t>(kPatternY + y) * kWidth + kPatternX], kPatternWidth,
                &pattern[static_cast<size_t>(y) * kPatternWidth]);
  write_bmp(dir + "/screen.bmp", {screen.data(), kWidth, kWidth, kHeight});
  write_bmp(dir + "/pattern.bmp", {pattern.data(), kPatternWidth, kPatternWidth, kPatternHeight});
  setenv("TAPLINE_SCREEN", (dir + "/screen.bmp").c_str(), 1);

  const char* trace = script::search_trace_directory();
  std::printf("tracing %s\n", trace != nullptr ? trace : "off");
  constexpr int kChecks = 100'000'000;
  const auto start = std::chrono::steady_clock::now();
  int on = 0;
  for (int i = 0; i < kChecks; ++i) {
    on += script::search_trace_directory() != nullptr;
    asm volatile("" : "+r"(on));
  }
  std::printf(
      "%-46s %8.3f ns per search\n", "the tracing test alone",
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
          kChecks);

  Quiet quiet;
  const std::string pattern_path = dir + "/pattern.bmp";
  report("FindColor(absent colour), script function", 30,
         [&] { quiet.run("FindColor(0x01000000 - 1)"); });
  report("FindColor, grab and find_color directly", 30, [&] {
    PixelView grab;
    if (platform::screen().grab(kWidth, kHeight, grab))
      (void)image::find_color(grab, 0xFFFFFF, {0, 0, kWidth, kHeight});
  });
  report("FindBmpEx(found), script function", 30,
         [&] { quiet.run("FindBmpEx('" + pattern_path + "', 0, 0, 0, 0, 0, 0)"); });
  report("FindBmpEx, read, grab and search directly", 30, [&] {
    image::Bitmap bitmap;
    std::string error;
    PixelView grab;
    if (image::read_bmp(pattern_path.c_str(), bitmap, error) &&
        platform::screen().grab(kWidth - 1, kHeight - 1, grab))
      (void)image::find_pattern_tolerant(grab, bitmap.view(), {0, 0, kWidth - 1, kHeight - 1}, 0,
                                         0);
  });
  std::string command = "rm -rf " + dir;
  return std::system(command.c_str()) == 0 ? 0 : 1;
}
