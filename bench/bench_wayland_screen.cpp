// Screen figures through a wlroots compositor: a fresh frame, the newest frame, FindColor
// and FindBmp on a 1920x1080 output showing a noisy picture.
//
//   bench_wayland_screen DIR   with WAYLAND_DISPLAY and SWAYSOCK naming a headless sway
//                              whose one output is 1920x1080 (bench/run_wayland_bench.sh)
//
// Writes its picture and pattern into DIR (which the compositor's user must be able to
// read), shows the picture with swaybg, and prints one line per figure: name, median and
// fastest time of the runs in milliseconds.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/wlr-screencopy-unstable-v1-client-protocol.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <lua.hpp>
#include <random>
#include <string>
#include <vector>

#include "image/bmp.h"
#include "image/png.h"
#include "image/search.h"
#include "platform/screen_source.h"
#include "platform/wayland/display.h"
#include "script/script_functions.h"
#include "system/file_replace.h"
#include "timing.h"

namespace {

using namespace tapline;
using bench::ms_since;
using bench::report;
using image::Pixel;
using image::PixelView;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int kPatternX = 1800, kPatternY = 1000, kPatternWidth = 64, kPatternHeight = 48;

// The first grab of a fresh source whose frames have come: what converting a new frame
// costs (a grab without a new frame reuses the converted pixels).
void report_conversion(const char* name) {
  std::vector<double> times;
  for (int i = 0; i < 20; ++i) {
    std::string why_not;
    auto screen = platform::open_wlroots_screen(why_not);
    if (!screen) std::abort();
    screen->pixel({0, 0});  // waits for the frames
    PixelView view;
    const auto start = std::chrono::steady_clock::now();
    screen->grab(kWidth, kHeight, view);
    times.push_back(ms_since(start));
  }
  report(name, times);
}

// One frame asked for and copied on a connection that is already open: what a fresh
// frame costs without the connection's set-up.
class FreshFrame {
 public:
  explicit FreshFrame(platform::wayland::Connection& connection) : connection_(connection) {
    manager_ = static_cast<zwlr_screencopy_manager_v1*>(
        connection.bind(zwlr_screencopy_manager_v1_interface, 3));
    shm_ = static_cast<wl_shm*>(connection.bind(wl_shm_interface, 1));
  }
  bool take() {
    done_ = failed_ = false;
    auto* frame =
        zwlr_screencopy_manager_v1_capture_output(manager_, 0, connection_.outputs()[0]->output);
    static const zwlr_screencopy_frame_v1_listener listener = {
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
           uint32_t stride) {
          static_cast<FreshFrame*>(data)->offer(format, width, height, stride);
        },
        [](void*, zwlr_screencopy_frame_v1*, uint32_t) {},
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
          static_cast<FreshFrame*>(data)->done_ = true;
        },
        [](void* data, zwlr_screencopy_frame_v1*) {
          static_cast<FreshFrame*>(data)->failed_ = true;
        },
        [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {},
        [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},
        [](void* data, zwlr_screencopy_frame_v1* frame) {
          zwlr_screencopy_frame_v1_copy(frame, static_cast<FreshFrame*>(data)->buffer_);
        },
    };
    zwlr_screencopy_frame_v1_add_listener(frame, &listener, this);
    while (!done_ && !failed_ && wl_display_dispatch(connection_.display()) >= 0) {
    }
    zwlr_screencopy_frame_v1_destroy(frame);
    return done_;
  }

 private:
  void offer(uint32_t format, uint32_t width, uint32_t height, uint32_t stride) {
    if (buffer_ != nullptr) return;
    const size_t bytes = static_cast<size_t>(stride) * height;
    const int fd = memfd_create("bench", MFD_CLOEXEC);
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) std::abort();
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, static_cast<int32_t>(bytes));
    buffer_ = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(width),
                                        static_cast<int32_t>(height), static_cast<int32_t>(stride),
                                        format);
    wl_shm_pool_destroy(pool);
    close(fd);
  }

  platform::wayland::Connection& connection_;
  zwlr_screencopy_manager_v1* manager_ = nullptr;
  wl_shm* shm_ = nullptr;
  wl_buffer* buffer_ = nullptr;
  bool done_ = false, failed_ = false;
};

void write_bmp(const std::string& path, const std::vector<Pixel>& pixels, int width, int height) {
  std::vector<uint8_t> bytes;
  image::encode_bmp24({pixels.data(), width, width, height}, bytes);
  std::string error;
  if (!system::write_file_replacing(path.c_str(), bytes, error)) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::mt19937 random(2024);
  std::vector<Pixel> noisy(static_cast<size_t>(kWidth) * kHeight);
  for (auto& p : noisy) p = random() & 0xFFFFFF;
  image::RgbPicture picture{kWidth, kHeight, {}};
  for (Pixel p : noisy)
    picture.bytes.insert(
        picture.bytes.end(),
        {static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)});
  std::string error;
  if (!image::write_png((dir + "/screen.png").c_str(), picture, error)) return 1;
  std::vector<Pixel> pattern;
  for (int y = kPatternY; y < kPatternY + kPatternHeight; ++y)
    pattern.insert(pattern.end(), noisy.begin() + y * kWidth + kPatternX,
                   noisy.begin() + y * kWidth + kPatternX + kPatternWidth);
  const std::string pattern_path = dir + "/pattern.bmp";
  write_bmp(pattern_path, pattern, kPatternWidth, kPatternHeight);
  if (std::system(("swaymsg -q output HEADLESS-1 bg " + dir + "/screen.png center").c_str()) != 0)
    return 1;

  std::string why_not;
  auto screen = platform::open_wlroots_screen(why_not);
  if (!screen || screen->size().width != kWidth || screen->size().height != kHeight) {
    std::fprintf(stderr, "needs a %dx%d wlroots output: %s\n", kWidth, kHeight, why_not.c_str());
    return 1;
  }
  // Until swaybg's picture is on the screen.
  const image::ColorValue corner = image::color_of(noisy[kWidth * kHeight - 1]);
  for (int i = 0; i < 500 && screen->pixel({kWidth - 1, kHeight - 1}) != corner; ++i) usleep(10000);
  platform::set_screen(screen.get());
  std::printf("== wlroots screencopy on headless sway (pixman), %dx%d\n", kWidth, kHeight);

  report("fresh screen: connect, first frame, grab (whole screen)", 30, [] {
    std::string why;
    auto fresh = platform::open_wlroots_screen(why);
    PixelView view;
    if (!fresh || !fresh->grab(kWidth, kHeight, view)) std::abort();
  });
  {
    // What a read pays after the capture has rested: a fresh frame asked and waited for.
    std::vector<double> times;
    for (int i = 0; i < 30; ++i) {
      std::string why;
      auto fresh = platform::open_wlroots_screen(why);
      PixelView view;
      const auto start = std::chrono::steady_clock::now();
      if (!fresh || !fresh->grab(kWidth, kHeight, view)) std::abort();
      times.push_back(ms_since(start));
    }
    report("fresh frame through the source (first read, buffers made)", times);
  }
  {
    auto connection = platform::wayland::Connection::open(why_not);
    FreshFrame fresh(*connection);
    report("fresh frame on an open connection (copy to ready)", 60, [&] {
      if (!fresh.take()) std::abort();
    });
  }
  PixelView grab;
  report("newest-frame grab of the whole screen (a view)", 1000,
         [&] { screen->grab(kWidth, kHeight, grab); });
  screen->grab(kWidth, kHeight, grab);
  const int64_t absent = 0x01000000 - 1 - 0x123;
  if (image::find_color(grab, absent, {0, 0, kWidth, kHeight})) std::fprintf(stderr, "present\n");
  report("newest-frame grab + FindColor scan, colour absent", 300, [&] {
    PixelView g;
    screen->grab(kWidth, kHeight, g);
    image::find_color(g, absent, {0, 0, kWidth, kHeight});
  });

  lua_State* L = luaL_newstate();
  lua_register(L, "FindColor", script::FindColor);
  lua_register(L, "FindBmp", script::FindBmp);
  const int null_fd = open("/dev/null", O_WRONLY);
  auto call = [&](const std::string& code) {
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(null_fd, 1);
    if (luaL_dostring(L, code.c_str()) != LUA_OK) std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    lua_settop(L, 0);
  };
  report("FindColor script call, colour absent (stdout to /dev/null)", 300,
         [&] { call("FindColor(" + std::to_string(absent) + ")"); });
  call("x, y = FindBmp('" + pattern_path + "', 0, 0, 0, 0)");
  lua_getglobal(L, "x");
  lua_getglobal(L, "y");
  if (lua_tointeger(L, -2) != kPatternX || lua_tointeger(L, -1) != kPatternY)
    std::fprintf(stderr, "FindBmp did not find the pattern\n");
  lua_settop(L, 0);
  report("FindBmp script call, pattern near the bottom right", 300,
         [&] { call("FindBmp('" + pattern_path + "', 0, 0, 0, 0)"); });
  const std::string shot = dir + "/shot.bmp";
  lua_register(L, "CaptureScreen", script::CaptureScreen);
  report("CaptureScreen script call: newest frame to a BMP file", 100,
         [&] { call("CaptureScreen('" + shot + "')"); });
  lua_close(L);
  platform::set_screen(nullptr);
  screen.reset();

  // The same screen made of two outputs side by side: converted into one buffer. Then one
  // output turned: sampled pixel by pixel.
  auto swaymsg = [](const std::string& command) {
    return std::system(("swaymsg -q -- " + command).c_str()) == 0;
  };
  if (swaymsg("create_output") && swaymsg("output HEADLESS-1 resolution 960x1080 position 0 0") &&
      swaymsg("output HEADLESS-2 resolution 960x1080 position 960 0")) {
    auto two = platform::open_wlroots_screen(why_not);
    PixelView view;
    if (two && two->size().width == kWidth && two->grab(kWidth, kHeight, view)) {
      report_conversion("two outputs 960x1080: grab converting a new frame");
      report("two outputs 960x1080: newest-frame grab (composed)", 300,
             [&] { two->grab(kWidth, kHeight, view); });
      report("two outputs: newest-frame grab + FindColor scan", 300, [&] {
        two->grab(kWidth, kHeight, view);
        image::find_color(view, absent, {0, 0, kWidth, kHeight});
      });
    }
  }
  if (swaymsg("output HEADLESS-2 disable") &&
      swaymsg("output HEADLESS-1 resolution 1080x1920 position 0 0 transform 90")) {
    auto turned = platform::open_wlroots_screen(why_not);
    PixelView view;
    if (turned && turned->size().width == kWidth && turned->grab(kWidth, kHeight, view))
      report_conversion("one output turned 90 degrees: grab converting a new frame");
    if (turned && turned->size().width == kWidth && turned->grab(kWidth, kHeight, view))
      report("one output turned 90 degrees: newest-frame grab", 100,
             [&] { turned->grab(kWidth, kHeight, view); });
  }
  return 0;
}
