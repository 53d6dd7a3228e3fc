// Screen search figures: grabs, one plain read of a grab, FindColor's scan, FindBmp and
// FindBmpEx on a noisy screen and on a flat worst case, and the progress texts' cost; on
// X11 also calls on a screen that changes between them.
//
//   bench_screen DIR x11      on the X11 display named by DISPLAY (1920x1080 expected)
//   bench_screen DIR picture  on BMP pictures standing for the screen
//
// Writes the images it uses into DIR (for the OpenCV comparison) and prints one line per
// figure: name, median and fastest time of the runs in milliseconds.
#include <emmintrin.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <lua.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "image/bmp.h"
#include "image/search.h"
#include "platform/screen_source.h"
#include "script/script_functions.h"
#include "system/file_replace.h"
#include "timing.h"

// Last: Xlib's macros (KeyPress...) would clash with the names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace tapline;
using bench::ms_since;
using bench::report;
using bench::timed;
using image::Pixel;
using image::PixelView;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int kPatternWidth = 64, kPatternHeight = 48;
constexpr int kPatternX = 1800, kPatternY = 1000;  // near the bottom right

struct Image {
  int width, height;
  std::vector<Pixel> pixels;
  PixelView view() const { return {pixels.data(), width, width, height}; }
  Image crop(int x, int y, int w, int h) const {
    Image out{w, h, std::vector<Pixel>(static_cast<size_t>(w) * h)};
    for (int j = 0; j < h; ++j)
      std::copy_n(pixels.begin() + (y + j) * width + x, w, out.pixels.begin() + j * w);
    return out;
  }
};

void write_file(const std::string& path, const PixelView& view) {
  std::vector<uint8_t> bytes;
  image::encode_bmp24(view, bytes);
  std::string error;
  if (!system::write_file_replacing(path.c_str(), bytes, error))
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), error.c_str());
}

void draw(Display* display, const Image& image) {
  const int screen = DefaultScreen(display);
  XImage* x_image =
      XCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap,
                   0, reinterpret_cast<char*>(const_cast<Pixel*>(image.pixels.data())), image.width,
                   image.height, 32, 0);
  XPutImage(display, DefaultRootWindow(display), DefaultGC(display, screen), x_image, 0, 0, 0, 0,
            image.width, image.height);
  XSync(display, False);
  x_image->data = nullptr;
  XDestroyImage(x_image);
}

// One plain pass over the buffer: the memory-bandwidth floor of any scan.
uint32_t plain_read(const PixelView& view) {
  __m128i sum = _mm_setzero_si128();
  for (int y = 0; y < view.height; ++y) {
    const Pixel* row = view.row(y);
    int x = 0;
    for (; x + 4 <= view.width; x += 4)
      sum = _mm_add_epi32(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)));
  }
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sum);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

// Runs a script call with standard output sent to `sink_fd`.
class ScriptCall {
 public:
  ScriptCall() : L(luaL_newstate()) {
    lua_register(L, "FindColor", script::FindColor);
    lua_register(L, "FindBmp", script::FindBmp);
    lua_register(L, "FindBmpEx", script::FindBmpEx);
  }
  ~ScriptCall() { lua_close(L); }
  void run(const std::string& code, int sink_fd) {
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(sink_fd, 1);
    if (luaL_dostring(L, code.c_str()) != LUA_OK) std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
    lua_settop(L, 0);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }

 private:
  lua_State* L;
};

// A pipe whose reader throws everything away, as a console or a pipe to another program.
class DrainedPipe {
 public:
  DrainedPipe() {
    if (pipe(fds_) != 0) std::abort();
    reader_ = std::thread([fd = fds_[0]] {
      std::vector<char> buffer(1 << 16);
      while (read(fd, buffer.data(), buffer.size()) > 0) {
      }
    });
  }
  ~DrainedPipe() {
    close(fds_[1]);
    reader_.join();
    close(fds_[0]);
  }
  int fd() const { return fds_[1]; }

 private:
  int fds_[2];
  std::thread reader_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR x11|picture\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const bool x11 = std::string(argv[2]) == "x11";

  std::mt19937 random(2024);
  Image noisy{kWidth, kHeight, std::vector<Pixel>(static_cast<size_t>(kWidth) * kHeight)};
  for (auto& p : noisy.pixels) p = random() & 0xFFFFFF;
  const Image noisy_pattern = noisy.crop(kPatternX, kPatternY, kPatternWidth, kPatternHeight);
  // Flat worst case: the screen is the pattern's top-left colour; the pattern differs only
  // at its last compared pixel.
  constexpr Pixel kFlat = 0x336699;
  Image flat{kWidth, kHeight, std::vector<Pixel>(static_cast<size_t>(kWidth) * kHeight, kFlat)};
  Image flat_pattern = flat.crop(0, 0, kPatternWidth, kPatternHeight);
  flat_pattern.pixels[(kPatternHeight - 2) * kPatternWidth + kPatternWidth - 2] = 0x996633;
  write_file(dir + "/screen_noisy.bmp", noisy.view());
  write_file(dir + "/pattern_noisy.bmp", noisy_pattern.view());
  write_file(dir + "/screen_flat.bmp", flat.view());
  write_file(dir + "/pattern_flat.bmp", flat_pattern.view());

  Display* display = nullptr;
  std::unique_ptr<platform::ScreenSource> picture;
  auto show = [&](const Image& image, const char* file) {
    if (x11) {
      draw(display, image);
    } else {
      std::string why_not;
      picture = platform::open_picture_screen((dir + "/" + file).c_str(), why_not);
      if (!picture) std::fprintf(stderr, "%s\n", why_not.c_str());
      platform::set_screen(picture.get());
    }
  };
  if (x11) {
    display = XOpenDisplay(nullptr);
    if (display == nullptr || DisplayWidth(display, 0) != kWidth ||
        DisplayHeight(display, 0) != kHeight) {
      std::fprintf(stderr, "needs a %dx%d X11 display\n", kWidth, kHeight);
      return 1;
    }
  }
  const int null_fd = open("/dev/null", O_WRONLY);
  const std::string noisy_path = dir + "/pattern_noisy.bmp", flat_path = dir + "/pattern_flat.bmp";
  ScriptCall script;
  std::printf("== %s, %dx%d\n", x11 ? "X11 display" : "picture source", kWidth, kHeight);

  show(noisy, "screen_noisy.bmp");
  PixelView grab;
  if (x11) {
    auto plain = platform::make_x11_screen(nullptr, false);
    report("grab whole screen, plain image read (XGetImage)", 30,
           [&] { plain->grab(kWidth, kHeight, grab); });
  }
  report(x11 ? "grab whole screen, shared memory (XShmGetImage)" : "grab whole screen (view)", 200,
         [&] { platform::screen().grab(kWidth, kHeight, grab); });
  platform::screen().grab(kWidth, kHeight, grab);
  if (x11)
    report("grab 1919x1079 (a bitmap search's), shared memory", 200,
           [&] { platform::screen().grab(kWidth - 1, kHeight - 1, grab); });
  platform::screen().grab(kWidth, kHeight, grab);
  volatile uint32_t sink = 0;
  report("one plain read of the grab (SSE2 sum)", 200, [&] { sink = sink + plain_read(grab); });
  const int64_t absent = 0x01000000 - 1 - 0x123;  // checked below to be absent
  if (image::find_color(grab, absent, {0, 0, kWidth, kHeight}))
    std::fprintf(stderr, "colour present\n");
  report("FindColor scan alone, colour absent, whole screen", 200, [&] {
    image::find_color(grab, absent, {0, 0, kWidth, kHeight});
  });
  report("FindColor grab + scan, colour absent, whole screen", 200, [&] {
    PixelView g;
    platform::screen().grab(kWidth, kHeight, g);
    image::find_color(g, absent, {0, 0, kWidth, kHeight});
  });
  const std::string find_color = "FindColor(" + std::to_string(absent) + ")";
  report("FindColor script call (stdout to /dev/null)", 100,
         [&] { script.run(find_color, null_fd); });

  const auto noisy_view = noisy_pattern.view();
  report("FindBmp noisy: search alone (grab ready)", 200, [&] {
    image::find_pattern_exact(grab, noisy_view, {0, 0, kWidth - 1, kHeight - 1});
  });
  report("FindBmp noisy: grab + search + progress texts", 200, [&] {
    PixelView g;
    platform::screen().grab(kWidth - 1, kHeight - 1, g);
    const auto found = image::find_pattern_exact(g, noisy_view, {0, 0, kWidth - 1, kHeight - 1});
    std::FILE* out = fdopen(dup(null_fd), "w");
    {
      image::BufferedText text(out);
      image::write_exact_progress(g, noisy_view.row(0)[0], {0, 0, kWidth - 1, kHeight - 1}, found,
                                  text);
    }
    std::fclose(out);
  });
  report("FindBmp noisy: script call, file read included", 100,
         [&] { script.run("FindBmp('" + noisy_path + "', 0, 0, 0, 0)", null_fd); });
  report("FindBmpEx noisy, 5 %, tolerance 0x101010: script call", 100,
         [&] { script.run("FindBmpEx('" + noisy_path + "', 0, 0, 0, 0, 5, 0x101010)", null_fd); });
  report("FindBmpEx noisy, 5 %, tolerance 0x101010: search alone", 200, [&] {
    image::find_pattern_tolerant(grab, noisy_view, {0, 0, kWidth - 1, kHeight - 1},
                                 image::difference_budget({0, 0, kWidth - 1, kHeight - 1}, 5),
                                 0x101010);
  });

  if (x11) {
    // What a grab reads again when the screen changes between calls: a square drawn by
    // another client, or the whole screen.
    GC gc = XCreateGC(display, DefaultRootWindow(display), 0, nullptr);
    int squares = 0;
    auto draw_square = [&] {
      XSetForeground(display, gc, 0x010101u * static_cast<unsigned>(squares % 200));
      XFillRectangle(display, DefaultRootWindow(display), gc, (squares * 397) % 1500,
                     (squares * 211) % (kHeight - 64), 64, 64);
      XSync(display, False);
      ++squares;
    };
    report("FindColor script call, a 64x64 square drawn before each",
           timed(100, draw_square, [&] { script.run(find_color, null_fd); }));
    report("FindBmp noisy script call, a 64x64 square drawn before each",
           timed(100, draw_square,
                 [&] { script.run("FindBmp('" + noisy_path + "', 0, 0, 0, 0)", null_fd); }));
    report("FindColor script call, whole screen drawn before each",
           timed(
               30, [&] { draw(display, noisy); }, [&] { script.run(find_color, null_fd); }));
    XFreeGC(display, gc);
    draw(display, noisy);
  }

  show(flat, "screen_flat.bmp");
  platform::screen().grab(kWidth - 1, kHeight - 1, grab);
  const auto flat_view = flat_pattern.view();
  const image::SearchRegion whole{0, 0, kWidth - 1, kHeight - 1};
  report("FindBmp flat worst case: search alone", 100,
         [&] { image::find_pattern_exact(grab, flat_view, whole); });
  auto write_progress = [&](std::FILE* out) {
    image::BufferedText text(out);
    image::write_exact_progress(grab, flat_view.row(0)[0], whole, std::nullopt, text);
  };
  report("FindBmp flat worst case: progress texts into a pipe", 20, [&] {
    DrainedPipe drained;
    std::FILE* out = fdopen(dup(drained.fd()), "w");
    write_progress(out);
    std::fclose(out);
  });
  report("FindBmp flat worst case: progress texts to /dev/null", 20, [&] {
    std::FILE* out = fdopen(dup(null_fd), "w");
    write_progress(out);
    std::fclose(out);
  });
  char* text = nullptr;
  size_t text_bytes = 0;
  std::FILE* memory = open_memstream(&text, &text_bytes);
  write_progress(memory);
  std::fclose(memory);
  std::free(text);
  std::printf("   (progress texts of the flat worst case: %.1f MB)\n",
              static_cast<double>(text_bytes) / 1e6);
  report("FindBmp flat worst case: script call into a pipe", 10, [&] {
    DrainedPipe pipe_out;
    script.run("FindBmp('" + flat_path + "', 0, 0, 0, 0)", pipe_out.fd());
  });
  report("FindBmpEx flat, 5 %, tolerance 0x101010: search alone", 200, [&] {
    image::find_pattern_tolerant(grab, flat_view, whole, image::difference_budget(whole, 5),
                                 0x101010);
  });
  // The tolerant search's costliest shape: every pixel a candidate, every candidate failing
  // only after counting past its budget. A 200 x 200 region at 5 % allows 2000 differing
  // pixels; a 64 x 48 pattern of another colour but its anchor differs in 2961.
  Image contrary = flat_pattern;
  std::fill(contrary.pixels.begin() + 1, contrary.pixels.end(), 0x000000);
  const image::SearchRegion small{1000, 500, 1200, 700};
  report("FindBmpEx worst: 200x200 region, 5 %, every candidate fails", 10, [&] {
    image::find_pattern_tolerant(grab, contrary.view(), small, image::difference_budget(small, 5),
                                 0x101010);
  });
  const std::string contrary_path = dir + "/pattern_contrary.bmp";
  write_file(contrary_path, contrary.view());
  report("FindBmpEx worst: script call", 10, [&] {
    script.run("FindBmpEx('" + contrary_path + "', 1000, 500, 1200, 700, 5, 0x101010)", null_fd);
  });
  report("FindColor script call on this screen", 100, [&] { script.run(find_color, null_fd); });
  close(null_fd);
  if (display) XCloseDisplay(display);
  return 0;
}
