// The screen functions as scripts call them, on an X11 screen (a private Xvfb) and on a
// BMP picture standing for the screen; then what only the X11 display has: grabs through
// shared memory and plain reads, and screens of 16 and 30 bits per pixel.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "image/bmp.h"
#include "platform/screen_source.h"
#include "program_run.h"
#include "screen_images.h"
#include "script_state.h"
#include "xvfb.h"

// Last: Xlib's macros (None, KeyPress...) would clash with the names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef None

namespace {

using tapline::testing::Image;
using tapline::testing::quoted;
using Script = tapline::testing::ScriptState;
using tapline::image::PixelView;
using tapline::platform::ScreenPoint;
using tapline::testing::TempDir;
using tapline::testing::XvfbServer;

constexpr int kWidth = 320, kHeight = 200;

XvfbServer* main_server = nullptr;

// The process's display is the private server: DISPLAY is set before anything opens it.
class XServerEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    server_ = std::make_unique<XvfbServer>(std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                                           "x24");
    setenv("DISPLAY", server_->name().c_str(), 1);
    unsetenv("TAPLINE_SCREEN");
    main_server = server_.get();
  }
  void TearDown() override { server_.reset(); }

 private:
  std::unique_ptr<XvfbServer> server_;
};
testing::Environment* const x_environment =
    testing::AddGlobalTestEnvironment(new XServerEnvironment);

// The server's pixel for a colour value, channel by channel into the visual's masks.
unsigned long server_pixel(const Visual* visual, uint32_t color) {
  auto place = [](uint32_t channel, unsigned long mask) -> unsigned long {
    const int shift = __builtin_ctzl(mask), bits = __builtin_popcountl(mask);
    const unsigned long v =
        bits >= 8 ? (channel << (bits - 8)) | (channel >> (16 - bits)) : channel >> (8 - bits);
    return (v << shift) & mask;
  };
  return place(color & 0xFF, visual->red_mask) | place((color >> 8) & 0xFF, visual->green_mask) |
         place((color >> 16) & 0xFF, visual->blue_mask);
}

// What the screen shows of a colour once the server has narrowed its channels.
uint32_t shown_color(const Visual* visual, uint32_t color) {
  auto shown = [](uint32_t channel, unsigned long mask) -> uint32_t {
    const int bits = __builtin_popcountl(mask);
    if (bits >= 8) return channel;
    uint32_t x = (channel >> (8 - bits)) << (8 - bits);
    for (int k = bits; k < 8; k += k) x |= x >> k;
    return x & 0xFF;
  };
  return shown(color & 0xFF, visual->red_mask) |
         (shown((color >> 8) & 0xFF, visual->green_mask) << 8) |
         (shown((color >> 16) & 0xFF, visual->blue_mask) << 16);
}

// Draws `image` on the root window of `display` at the origin.
void draw(Display* display, const Image& image) {
  const int screen = DefaultScreen(display);
  Visual* visual = DefaultVisual(display, screen);
  XImage* x_image = XCreateImage(display, visual, DefaultDepth(display, screen), ZPixmap, 0,
                                 nullptr, image.width, image.height, 32, 0);
  x_image->data =
      static_cast<char*>(std::malloc(static_cast<size_t>(x_image->bytes_per_line) * image.height));
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      XPutPixel(x_image, x, y, server_pixel(visual, image.get(x, y)));
  XPutImage(display, DefaultRootWindow(display), DefaultGC(display, screen), x_image, 0, 0, 0, 0,
            image.width, image.height);
  XSync(display, False);
  XDestroyImage(x_image);
}

Image noisy_screen(uint32_t seed) {
  std::mt19937 random(seed);
  Image image(kWidth, kHeight);
  for (auto& p : image.pixels) p = tapline::image::pixel_of(random() & 0xFFFFFF);
  return image;
}

// Where the script functions look: the X11 display, or a BMP picture as the screen.
class ScriptScreen : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (x11()) {
      display_ = XOpenDisplay(main_server->name().c_str());
      ASSERT_NE(display_, nullptr);
      tapline::platform::set_screen(nullptr);
    }
  }
  void TearDown() override {
    tapline::platform::set_screen(nullptr);
    if (display_) XCloseDisplay(display_);
  }
  bool x11() const { return std::string(GetParam()) == "x11"; }

  // Shows `image` (the whole screen) and puts the cursor at (x, y) where it can be moved.
  void show(const Image& image, int cursor_x = 17, int cursor_y = 33) {
    shown_ = image;
    if (x11()) {
      draw(display_, image);
      XWarpPointer(display_, 0, DefaultRootWindow(display_), 0, 0, 0, 0, cursor_x, cursor_y);
      XSync(display_, False);
      cursor_ = {cursor_x, cursor_y};
    } else {
      // Alternate the picture's layouts: bottom-up 24 bits, top-down 32 bits.
      const bool top_down = (++pictures_ % 2) == 0;
      const auto path = dir_.write(
          "screen.bmp",
          tapline::testing::make_bmp(image, {.bits = top_down ? 32 : 24, .top_down = top_down}));
      std::string why_not;
      picture_ = tapline::platform::open_picture_screen(path.c_str(), why_not);
      ASSERT_NE(picture_, nullptr) << why_not;
      tapline::platform::set_screen(picture_.get());
      cursor_ = {0, 0};
    }
  }

  std::string write_pattern(const Image& pattern, const std::string& name = "pattern.bmp") {
    return dir_.write(name, tapline::testing::make_bmp(pattern));
  }

  Display* display_ = nullptr;
  Script script_;
  TempDir dir_;
  Image shown_;
  ScreenPoint cursor_;
  std::unique_ptr<tapline::platform::ScreenSource> picture_;
  int pictures_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Screens, ScriptScreen, testing::Values("x11", "picture"));

using Results = std::vector<int64_t>;

TEST_P(ScriptScreen, SizeAndCursor) {
  show(noisy_screen(1), 17, 33);
  EXPECT_EQ(script_.integers("return GetScreenResolution()"), (Results{kWidth, kHeight}));
  EXPECT_EQ(script_.integers("return GetMousePosition()"), (Results{cursor_.x, cursor_.y}));
}

TEST_P(ScriptScreen, GetColorReadsOnePixel) {
  Image image = noisy_screen(2);
  image.set(5, 7, 0x123456);
  image.set(9, 0, 0xFEDCBA);
  image.set(7, 5, 0x010203);
  show(image, 40, 41);
  std::string printed;
  EXPECT_EQ(script_.integers("return GetColor(5, 7)", &printed),
            (Results{0x123456, 0x56, 0x34, 0x12}));
  EXPECT_EQ(printed, "颜色RGB：86,52,18    1193046\n");
  EXPECT_EQ(script_.integers("return GetColor(9)")[0], 0xFEDCBA);         // y reads as 0
  EXPECT_EQ(script_.integers("return GetColor('7', 5.9)")[0], 0x010203);  // numeric text, truncated
  EXPECT_EQ(script_.integers("return GetColor()")[0], image.get(cursor_.x, cursor_.y));
  for (const char* outside : {"-1, 0", "0, -1", "320, 0", "0, 200", "1e12, 3"}) {
    SCOPED_TRACE(outside);
    EXPECT_EQ(script_.integers(std::string("return GetColor(") + outside + ")", &printed),
              (Results{4294967295, 255, 255, 255}));
    EXPECT_EQ(printed, "颜色RGB：255,255,255    -1\n");
  }
}

TEST_P(ScriptScreen, CaptureScreenWritesTheWholeScreen) {
  const Image image = noisy_screen(3);
  show(image);
  const std::string path = dir_.write("shot.bmp", {'o', 'l', 'd'});
  std::string printed;
  script_.integers("CaptureScreen(" + quoted(path) + ")", &printed);
  EXPECT_EQ(printed, "screencpy\n");
  tapline::image::Bitmap bitmap;
  std::string error;
  ASSERT_TRUE(tapline::image::read_bmp(path.c_str(), bitmap, error)) << error;
  ASSERT_EQ(bitmap.width, kWidth);
  ASSERT_EQ(bitmap.height, kHeight);
  EXPECT_TRUE(bitmap.bottom_up);
  const auto view = bitmap.view();
  int differing = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      differing += tapline::image::color_of(view.row(y)[x]) != image.get(x, y);
  EXPECT_EQ(differing, 0);

  script_.integers("CaptureScreen()", &printed);
  EXPECT_EQ(printed, "screencpy\n");
  script_.integers("CaptureScreen({})", &printed);
  EXPECT_EQ(printed, "screencpy\n");

  const std::string bad = dir_.file("missing/dir/shot.bmp");
  testing::internal::CaptureStderr();
  script_.integers("CaptureScreen(" + quoted(bad) + ")", &printed);
  const std::string complaint = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "screencpy\n");
  EXPECT_NE(complaint.find("CaptureScreen: cannot write " + bad), std::string::npos) << complaint;
  EXPECT_EQ(std::count(complaint.begin(), complaint.end(), '\n'), 1);
}

TEST_P(ScriptScreen, CaptureScreenReplacesOnlyFiles) {
  show(noisy_screen(4));
  // A FIFO, a directory and a socket stay what they are; each refusal is one line.
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string directory = dir_.file("directory");
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  const std::string socket_path = dir_.file("socket");
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::pair<std::string, mode_t> kinds[] = {
      {fifo, S_IFIFO}, {directory, S_IFDIR}, {socket_path, S_IFSOCK}};
  for (const auto& [path, kind] : kinds) {
    SCOPED_TRACE(path);
    testing::internal::CaptureStderr();
    script_.run("CaptureScreen(" + quoted(path) + ")");
    const std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_NE(complaint.find("CaptureScreen: " + path + " is a"), std::string::npos) << complaint;
    EXPECT_EQ(std::count(complaint.begin(), complaint.end(), '\n'), 1) << complaint;
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IFMT, kind);
  }
  close(listener);
  // A symbolic link is replaced by the picture; what it pointed to stays.
  const std::string target = dir_.write("target", {'k', 'e', 'e', 'p'});
  const std::string link = dir_.file("link.bmp");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  script_.run("CaptureScreen(" + quoted(link) + ")");
  tapline::image::Bitmap bitmap;
  std::string error;
  EXPECT_TRUE(tapline::image::read_bmp(link.c_str(), bitmap, error)) << error;
  struct stat info {};
  ASSERT_EQ(lstat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 4);
}

TEST_P(ScriptScreen, FindColorOrderAndRegionRules) {
  Image image(kWidth, kHeight, 0x808080);
  image.set(10, 0, 0x00FF00);
  image.set(5, 1, 0x00FF00);
  show(image);
  std::string printed;
  EXPECT_EQ(script_.integers("return FindColor(0x00FF00)", &printed), (Results{10, 0}));
  EXPECT_TRUE(tapline::testing::ends_with_timing(printed, "found color...\n")) << printed;
  EXPECT_EQ(script_.integers("return FindColor(0x00FF00, 0, 1, 300, 100)"), (Results{5, 1}));
  EXPECT_EQ(script_.integers("return FindColor(0x00FF00, 6, 0, 10, 100)", &printed),
            (Results{-1, -1}));
  EXPECT_TRUE(tapline::testing::ends_with_timing(printed)) << printed;
  EXPECT_EQ(script_.integers("return FindColor(0x00FF00, 100, 100, 100, 200)"),
            (Results{-1, -1}));  // x1 == x2

  // The five-argument form never reaches the last column and row; one argument does.
  image.set(10, 0, 0x808080), image.set(5, 1, 0x808080);
  image.set(kWidth - 1, 50, 0x0000FF);
  image.set(60, kHeight - 1, 0xFF0000);
  image.set(kWidth - 2, kHeight - 2, 0x00FFFF);
  show(image);
  EXPECT_EQ(script_.integers("return FindColor(0x0000FF)"), (Results{kWidth - 1, 50}));
  EXPECT_EQ(script_.integers("return FindColor(0x0000FF, -5, -5, 99999, 99999)"),
            (Results{-1, -1}));
  EXPECT_EQ(script_.integers("return FindColor(0xFF0000)"), (Results{60, kHeight - 1}));
  EXPECT_EQ(script_.integers("return FindColor(0xFF0000, -5, -5, 99999, 99999)"),
            (Results{-1, -1}));
  EXPECT_EQ(script_.integers("return FindColor(0x00FFFF, -5, -5, 99999, 99999)"),
            (Results{kWidth - 2, kHeight - 2}));
  // x1 and y1 beyond the screen become its last column and row.
  EXPECT_EQ(script_.integers("return FindColor(0x00FFFF, 500, 500, 99999, 99999)"),
            (Results{-1, -1}));

  // Black, searched over the whole screen when the count of arguments is not 1 or 5, and
  // for a colour that is no integer.
  image.set(33, 44, 0x000000);
  show(image);
  EXPECT_EQ(script_.integers("return FindColor()"), (Results{33, 44}));
  EXPECT_EQ(script_.integers("return FindColor(0x0000FF, 1, 2)"), (Results{33, 44}));
  EXPECT_EQ(script_.integers("return FindColor(255.5)"), (Results{33, 44}));
  EXPECT_EQ(script_.integers("return FindColor('0xFF0000')"), (Results{60, kHeight - 1}));
  // Below-zero right and bottom edges: nothing to scan.
  EXPECT_EQ(script_.integers("return FindColor(0, 0, 0, -4, -4)"), (Results{-1, -1}));
}

TEST_P(ScriptScreen, FindBmpFindsAndSaysSo) {
  Image image = noisy_screen(4);
  show(image);
  const std::string path = write_pattern(image.crop(0, 120, 12, 9));
  std::string printed;
  EXPECT_EQ(script_.integers("return FindBmp(" + quoted(path) + ", 0, 0, 0, 0)", &printed),
            (Results{0, 120}));
  std::string expected = "GetBmpDataGetScreenDataFindBmpBufFindFirstPoint0\n  GetBmpPixel\n ";
  for (int y = 0; y <= 120; ++y) expected += "y1=" + std::to_string(y) + "\n";
  expected += "Compare \nReleaseLPFindBmp found\n";
  ASSERT_EQ(printed.substr(0, expected.size()), expected);
  EXPECT_TRUE(tapline::testing::ends_with_timing(printed.substr(expected.size())));

  // A region starting right of the place, and the pattern's bottom right on the screen's
  // last row and column, which are never candidates' ground.
  EXPECT_EQ(script_.integers("return FindBmp(" + quoted(path) + ", 1, 0, 0, 0)"),
            (Results{-1, -1}));
  const std::string corner = write_pattern(image.crop(kWidth - 8, kHeight - 6, 8, 6), "corner.bmp");
  EXPECT_EQ(script_.integers("return FindBmp(" + quoted(corner) + ", 0, 0, 0, 0)"),
            (Results{-1, -1}));
  // Shrunk by its uncompared last row and column, it fits.
  image.fill(kWidth - 1, 0, 1, kHeight, 0x000000);
  show(image);
  EXPECT_EQ(script_.integers("return FindBmp(" + quoted(corner) + ", 0, 0, 0, 0)"),
            (Results{-1, -1}));
  const std::string inner = write_pattern(image.crop(kWidth - 9, kHeight - 7, 8, 6), "inner.bmp");
  EXPECT_EQ(script_.integers("return FindBmp(" + quoted(inner) + ", 0, 0, 0, 0)"),
            (Results{kWidth - 9, kHeight - 7}));

  EXPECT_EQ(script_.integers("return FindBmp(" + quoted(dir_.file("none.bmp")) + ", 0, 0, 0, 0)",
                             &printed),
            (Results{-1, -1}));
  EXPECT_EQ(printed, "");
}

TEST_P(ScriptScreen, FindBmpExWithToleranceAndBudget) {
  Image image = noisy_screen(5);
  Image pattern = image.crop(200, 150, 16, 12);
  show(image);
  // Two pixels off by 16 in red and one by 40 in blue: tolerance 16 forgives the first two,
  // the budget (1 % of the region) must cover the third.
  for (auto [x, y] : {std::pair{3, 3}, std::pair{7, 8}}) {
    const uint32_t c = pattern.get(x, y);
    const uint32_t red = c & 0xFF;
    pattern.set(x, y, (c & ~0xFFu) | (red >= 16 ? red - 16 : red + 16));
  }
  const uint32_t c = pattern.get(5, 5);
  const uint32_t blue = (c >> 16) & 0xFF;
  pattern.set(5, 5, (c & 0xFFFF) | ((blue >= 40 ? blue - 40 : blue + 40) << 16));
  const std::string path = write_pattern(pattern);
  // A 20 x 12 region whose right and bottom edges just hold the pattern: 1 % of its area
  // is a budget of 2 pixels.
  auto find = [&](const std::string& rest, std::string* printed = nullptr) {
    return script_.integers(
        "return FindBmpEx(" + quoted(path) + ", 196, 150, 216, 162, " + rest + ")", printed);
  };
  std::string printed;
  EXPECT_EQ(find("1, 0x10", &printed), (Results{200, 150}));
  EXPECT_TRUE(tapline::testing::ends_with_timing(printed, "FindBmpEx found\n")) << printed;
  EXPECT_EQ(find("0, 0x10", &printed), (Results{-1, -1}));
  EXPECT_TRUE(tapline::testing::ends_with_timing(printed)) << printed;
  EXPECT_EQ(find("1, 0x0F"), (Results{-1, -1}));    // three differ now
  EXPECT_EQ(find("1.5, 0x10"), (Results{-1, -1}));  // percent is no integer: 0
  EXPECT_EQ(find("2, 0x0F"), (Results{200, 150}));  // a budget of 4
}

TEST_P(ScriptScreen, UnreadablePatternFilesGiveNoCorner) {
  show(noisy_screen(6));
  const std::string broken = dir_.write("broken.bmp", {'B', 'M', 1, 2, 3});
  for (const char* function : {"FindBmp", "FindBmpEx"}) {
    std::string printed;
    testing::internal::CaptureStderr();
    EXPECT_EQ(script_.integers(
                  std::string("return ") + function + "(" + quoted(broken) + ", 0, 0, 0, 0, 5, 0)",
                  &printed),
              (Results{-1, -1}));
    const std::string complaint = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "");
    EXPECT_NE(complaint.find("is not a usable BMP picture"), std::string::npos) << complaint;
  }
}

// Grabs straight from the X11 display, with and without shared memory.
class X11Grab : public testing::Test {
 protected:
  static PixelView grab(tapline::platform::ScreenSource& source, int width, int height) {
    PixelView view;
    EXPECT_TRUE(source.grab(width, height, view));
    return view;
  }
  static int differing(const PixelView& view, const Image& expected, int width, int height) {
    int count = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        count += tapline::image::color_of(view.row(y)[x]) != expected.get(x, y);
    return count;
  }
};

TEST_F(X11Grab, SharedAndPlainGrabsOfEverySize) {
  Display* display = XOpenDisplay(main_server->name().c_str());
  ASSERT_NE(display, nullptr);
  const Image image = noisy_screen(7);
  draw(display, image);
  auto shared = tapline::platform::make_x11_screen();
  auto plain = tapline::platform::make_x11_screen(nullptr, false);
  for (auto [w, h] : {std::pair{kWidth, kHeight}, std::pair{1, 1}, std::pair{37, 11},
                      std::pair{319, 199}, std::pair{kWidth, 3}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const PixelView a = grab(*shared, w, h);
    EXPECT_EQ(a.width, w);
    EXPECT_EQ(a.height, h);
    EXPECT_EQ(differing(a, image, w, h), 0);
    EXPECT_EQ(differing(grab(*plain, w, h), image, w, h), 0);
  }
  EXPECT_EQ(shared->pixel({3, 4}), image.get(3, 4));
  EXPECT_EQ(shared->pixel({kWidth, 0}), std::nullopt);
  XCloseDisplay(display);
}

// The X11 screen keeps its last grab and reads again only what was drawn since: whatever
// another client drew (and synced) before a call is what the call sees, in a window or on
// the root, while other places change too and while calls read only part of the screen.
TEST(X11Damage, CallsSeeWhatAClientDrewJustBefore) {
  tapline::platform::set_screen(nullptr);
  Display* drawer = XOpenDisplay(main_server->name().c_str());
  ASSERT_NE(drawer, nullptr);
  const Window root = DefaultRootWindow(drawer);
  Visual* visual = DefaultVisual(drawer, DefaultScreen(drawer));
  draw(drawer, Image(kWidth, kHeight, 0x000000));
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0;
  constexpr int kWindowX = 40, kWindowY = 30;
  const Window window =
      XCreateWindow(drawer, root, kWindowX, kWindowY, 100, 80, 0, CopyFromParent, InputOutput,
                    CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XMapWindow(drawer, window);
  GC gc = XCreateGC(drawer, window, 0, nullptr);
  auto fill = [&](Drawable where, uint32_t color, int x, int y, int w, int h) {
    XSetForeground(drawer, gc, server_pixel(visual, color));
    XFillRectangle(drawer, where, gc, x, y, w, h);
  };
  XSync(drawer, False);

  Script script;
  constexpr uint32_t kA = 0x2040C0, kB = 0xC04020;
  for (int i = 0; i < 200; ++i) {
    SCOPED_TRACE(i);
    // One spot alternates between two colours; another moves and takes a new colour.
    const uint32_t now = i % 2 ? kB : kA, before = i % 2 ? kA : kB;
    fill(window, now, 5, 5, 4, 4);
    const uint32_t moving = 0x100000 + static_cast<uint32_t>(i);
    const int x = 20 + (i * 37) % 70, y = 20 + (i * 13) % 50;
    fill(window, moving, x, y, 3, 2);
    if (i % 4 >= 2) fill(root, 0x0F0F0F + static_cast<uint32_t>(i), 200 + i % 100, 150, 9, 9);
    XSync(drawer, False);
    const std::string window_part =
        ", 0, 0, " + std::to_string(kWindowX + 100) + ", " + std::to_string(kWindowY + 80) + ")";
    const std::string part = i % 3 == 0 ? ")" : window_part;  // whole screen or a part of it
    EXPECT_EQ(script.integers("return FindColor(" + std::to_string(now) + part),
              (Results{kWindowX + 5, kWindowY + 5}));
    EXPECT_EQ(script.integers("return FindColor(" + std::to_string(before) + part),
              (Results{-1, -1}));
    EXPECT_EQ(script.integers("return FindColor(" + std::to_string(moving) + part),
              (Results{kWindowX + x, kWindowY + y}));
    EXPECT_EQ(script.integers("return GetColor(" + std::to_string(kWindowX + x) + ", " +
                              std::to_string(kWindowY + y) + ")")[0],
              moving);
    if (i % 4 >= 2) {
      EXPECT_EQ(script.integers("return FindColor(" + std::to_string(0x0F0F0F + i) + ")"),
                (Results{200 + i % 100, 150}));
    }
  }
  XFreeGC(drawer, gc);
  XDestroyWindow(drawer, window);
  XCloseDisplay(drawer);
}

// Other servers for what the main one cannot show: other depths, no shared memory.
void check_server(const std::string& screen, std::vector<std::string> options = {}) {
  SCOPED_TRACE(screen);
  XvfbServer server(screen, std::move(options));
  Display* display = XOpenDisplay(server.name().c_str());
  ASSERT_NE(display, nullptr);
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  const int width = DisplayWidth(display, DefaultScreen(display));
  const int height = DisplayHeight(display, DefaultScreen(display));
  std::mt19937 random(11);
  Image image(width, height);
  for (auto& p : image.pixels) p = tapline::image::pixel_of(random() & 0xFFFFFF);
  draw(display, image);
  Image expected(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) expected.set(x, y, shown_color(visual, image.get(x, y)));
  {
    auto source = tapline::platform::make_x11_screen(display);
    EXPECT_EQ(source->size().width, width);
    PixelView view;
    ASSERT_TRUE(source->grab(width, height, view));
    int count = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        count += tapline::image::color_of(view.row(y)[x]) != expected.get(x, y);
    EXPECT_EQ(count, 0);
    ASSERT_TRUE(source->grab(9, 5, view));
    EXPECT_EQ(tapline::image::color_of(view.row(4)[8]), expected.get(8, 4));
    EXPECT_EQ(source->pixel({5, 6}), expected.get(5, 6));
  }
  XCloseDisplay(display);
}

TEST(X11Depths, SixteenAndThirtyBitScreens) {
  check_server("64x48x16");
  check_server("64x48x30");
}

TEST(X11Depths, ServerWithoutSharedMemory) { check_server("64x48x24", {"-extension", "MIT-SHM"}); }

TEST(X11Depths, ServerWithoutDamage) { check_server("64x48x24", {"-extension", "DAMAGE"}); }

}  // namespace
