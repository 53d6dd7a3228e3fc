// GNOME screen figures through mutter's screen cast service: opening the source (session,
// streams, first frame), the newest-frame grab, grab + FindColor's scan with the colour
// absent, and one pixel read. Run inside a GNOME session, or through
// bench/run_mutter_bench.sh, which starts a private headless mutter.
//
//   bench_mutter_screen [RUNS]
//
// Prints one line per figure: name, median and fastest time in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "image/search.h"
#include "platform/screencast/mutter_screen.h"
#include "timing.h"

namespace {

using namespace tapline;
using bench::ms_since;
using bench::report;
using bench::timed;

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  std::vector<double> opening;
  std::unique_ptr<platform::ScreenSource> screen;
  for (int i = 0; i < 5; ++i) {
    screen.reset();
    std::string why_not;
    const auto start = std::chrono::steady_clock::now();
    screen = platform::open_mutter_screen(why_not);
    platform::PixelView view;
    if (!screen || !screen->grab(1, 1, view)) {
      std::fprintf(stderr, "bench_mutter_screen: no GNOME screen: %s\n", why_not.c_str());
      return 1;
    }
    opening.push_back(ms_since(start));
  }
  const platform::ScreenSize size = screen->size();
  std::printf("screen %dx%d\n", size.width, size.height);
  report("open (session, streams, first frame)", opening);

  platform::PixelView grab;
  report("newest-frame grab, whole screen",
         timed(runs, [&] { screen->grab(size.width, size.height, grab); }));
  const int64_t absent = 0x123456;  // checked absent below
  screen->grab(size.width, size.height, grab);
  if (image::find_color(grab, absent, {0, 0, size.width, size.height})) {
    std::fprintf(stderr, "bench_mutter_screen: the colour searched for is on the screen\n");
    return 1;
  }
  report("newest-frame grab + FindColor scan, colour absent", timed(runs, [&] {
           screen->grab(size.width, size.height, grab);
           image::find_color(grab, absent, {0, 0, size.width, size.height});
         }));
  report("GetColor pixel read", timed(runs, [&] { screen->pixel({size.width / 2, 10}); }));
  return 0;
}
