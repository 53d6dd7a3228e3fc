// The screen of a Wayland desktop: pictures shown by swaybg on a private headless sway
// read through the console program exactly as the same pictures read as TAPLINE_SCREEN,
// on one output and on two; and in a Wayland session with Xwayland, the X11 root window
// gives no picture while the automatic choice reads the compositor.
#include <gtest/gtest.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/wlr-virtual-pointer-unstable-v1-client-protocol.h>

#include <fstream>
#include <random>
#include <sstream>

#include "image/bmp.h"
#include "image/png.h"
#include "platform/screen_source.h"
#include "program_run.h"
#include "screen_images.h"
#include "sway.h"

// Last: Xlib's macros (None, True, Bool) clash with names in the headers above.
#include <X11/Xlib.h>

namespace {

using tapline::testing::eventually;
using tapline::testing::Image;
using tapline::testing::ProgramResult;
using tapline::testing::quoted;
using tapline::testing::run_tapline_script;
using tapline::testing::script_output;
using tapline::testing::SwayOptions;
using tapline::testing::SwayServer;

// Random colours: every search has one right answer, and a pattern's anchor is rare.
Image noise(int width, int height, unsigned seed) {
  Image image(width, height);
  std::mt19937 random(seed);
  for (auto& pixel : image.pixels) pixel = random() & 0xFFFFFF;
  return image;
}

void write_png(const std::string& path, const Image& image) {
  tapline::image::RgbPicture picture{image.width, image.height, {}};
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      const uint32_t color = image.get(x, y);
      picture.bytes.insert(picture.bytes.end(), {static_cast<uint8_t>(color & 0xFF),
                                                 static_cast<uint8_t>((color >> 8) & 0xFF),
                                                 static_cast<uint8_t>(color >> 16)});
    }
  std::string error;
  ASSERT_TRUE(tapline::image::write_png(path.c_str(), picture, error)) << error;
}

void write_bmp(const std::string& path, const Image& image) {
  const auto bytes = tapline::testing::make_bmp(image);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Image read_bmp(const std::string& path) {
  tapline::image::Bitmap bitmap;
  std::string error;
  Image image;
  if (!tapline::image::read_bmp(path.c_str(), bitmap, error)) return image;
  image = Image(bitmap.width, bitmap.height);
  const auto view = bitmap.view();
  for (int y = 0; y < image.height; ++y)
    std::copy_n(view.row(y), image.width, image.pixels.begin() + y * image.width);
  return image;
}

// What a script printed, without the timing lines, whose figures vary.
std::string answers(const ProgramResult& result) {
  std::istringstream lines(script_output(result.out));
  std::string kept, line;
  while (std::getline(lines, line))
    if (!tapline::testing::ends_with_timing(line + "\n")) kept += line + "\n";
  return kept;
}

// Results on standard output, in order with the console messages.
const std::string kSay = "local function say(...) io.write(table.concat({...}, ' '), '\\n') end\n";

// A private sway whose outputs show pictures; files live in its runtime folder, which
// the compositor's user can read.
class ShownPictures {
 public:
  explicit ShownPictures(const SwayOptions& options) : sway_(options) {}

  std::string file(const std::string& name) const { return sway_.runtime_dir() + "/" + name; }
  std::vector<std::string> environment(const std::string& desktop = "auto") const {
    auto environment = sway_.client_environment();
    environment.push_back("TAPLINE_DESKTOP=" + desktop);
    return environment;
  }
  const SwayServer& sway() const { return sway_; }

  // Shows `image` on output `number` (from 1) and waits until the screen shows its
  // pixel (x, y), counted on the whole screen.
  void show(int number, const Image& image, int x, int y, uint32_t color) {
    const std::string path = file("output" + std::to_string(number) + ".png");
    write_png(path, image);
    sway_.swaymsg({"output", "HEADLESS-" + std::to_string(number), "bg", path, "center"});
    const std::string probe =
        kSay + "say(GetColor(" + std::to_string(x) + ", " + std::to_string(y) + "))";
    const std::string expected = "\n" + std::to_string(color) + " ";
    ASSERT_TRUE(eventually(
        [&] {
          return answers(run_tapline_script(probe, environment())).find(expected) !=
                 std::string::npos;
        },
        300))
        << "output " << number << " never showed the picture";
  }

 private:
  SwayServer sway_;
};

// A script that asks every screen function about `screen`; `shot` receives the capture.
// (w / 4, h - 1) lies below the shorter of two outputs side by side, where no output is.
std::string questions(const Image& screen, const std::string& pattern, const std::string& shot) {
  auto color = [&](int x, int y) { return std::to_string(screen.get(x, y)); };
  const int w = screen.width, h = screen.height;
  std::string script = kSay + "say(GetScreenResolution())\n";
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{
           {0, 0}, {w - 1, h - 1}, {w / 2, h / 3}, {w / 4, h - 1}, {w, 0}, {-1, 5}})
    script += "say(GetColor(" + std::to_string(x) + ", " + std::to_string(y) + "))\n";
  script += "say(FindColor(" + color(w - 7, h - 5) + "))\n";
  script += "say(FindColor(" + color(w / 3, h / 2) + ", 10, 10, " + std::to_string(w) + ", " +
            std::to_string(h) + "))\n";
  script += "say(FindColor(0x010203))\n";
  script += "say(FindBmp(" + quoted(pattern) + ", 0, 0, 0, 0))\n";
  script += "say(FindBmpEx(" + quoted(pattern) + ", 0, 0, 0, 0, 1, 0x080808))\n";
  script += "CaptureScreen(" + quoted(shot) + ")\n";
  return script;
}

// The same questions on the compositor's screen and on `screen` given as a picture: the
// same answers, and the same capture, which is `screen` itself.
void expect_same_as_picture(const ShownPictures& shown, const Image& screen, int pattern_x,
                            int pattern_y) {
  const std::string pattern = shown.file("pattern.bmp"), picture = shown.file("screen.bmp");
  write_bmp(pattern, screen.crop(pattern_x, pattern_y, 48, 32));
  write_bmp(picture, screen);
  const std::string wayland_shot = shown.file("wayland.bmp"), picture_shot = shown.file("p.bmp");
  const ProgramResult wayland =
      run_tapline_script(questions(screen, pattern, wayland_shot), shown.environment());
  const ProgramResult reference =
      run_tapline_script(questions(screen, pattern, picture_shot), {"TAPLINE_SCREEN=" + picture});
  EXPECT_EQ(wayland.status, 0) << wayland.err;
  EXPECT_NE(answers(reference).find("FindBmp found"), std::string::npos) << reference.out;
  EXPECT_EQ(answers(wayland), answers(reference));
  EXPECT_TRUE(read_bmp(wayland_shot).pixels == screen.pixels) << "the capture differs";
  EXPECT_NE(wayland.err.find("tapline: screen: wlroots screencopy on wayland-"), std::string::npos)
      << wayland.err;
}

class WaylandScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = SwayServer::skip_reason(); !reason.empty())
      GTEST_SKIP() << reason;
  }
};

TEST_F(WaylandScreen, OneOutputReadsAsThePictureDoes) {
  ShownPictures shown(SwayOptions{{"1280x720"}, {}, false});
  const Image screen = noise(1280, 720, 16);
  shown.show(1, screen, 5, 5, screen.get(5, 5));
  expect_same_as_picture(shown, screen, 1100, 600);
}

// A script that reads nothing for a while lets the capture rest; its next read still sees
// what the screen shows now, not what it showed when the capture rested.
TEST_F(WaylandScreen, AReadAfterAPauseSeesTheScreenAsItIsNow) {
  ShownPictures shown(SwayOptions{{"320x200"}, {}, false});
  shown.show(1, Image(320, 200, 0x102030), 1, 1, 0x102030);
  const std::string later = shown.file("later.png");
  write_png(later, Image(320, 200, 0x405060));
  const std::string change =
      "swaymsg -s " + shown.sway().ipc_socket() + " output HEADLESS-1 bg " + later + " center";
  const ProgramResult run =
      run_tapline_script(kSay + "say(GetColor(1, 1))\nsleep(3500)\nos.execute('" + change +
                             " >/dev/null')\nsleep(2000)\nsay(GetColor(1, 1))\n",
                         shown.environment());
  EXPECT_NE(answers(run).find("\n" + std::to_string(0x102030) + " "), std::string::npos);
  EXPECT_NE(answers(run).find("\n" + std::to_string(0x405060) + " "), std::string::npos)
      << run.out << run.err;
}

// Once the compositor is gone its last picture is no answer: the pixel is unknown.
TEST_F(WaylandScreen, AfterTheCompositorWentNoPixelIsRead) {
  ShownPictures shown(SwayOptions{{"320x200"}, {}, false});
  shown.show(1, Image(320, 200, 0x102030), 1, 1, 0x102030);
  const ProgramResult run = run_tapline_script(
      kSay + "say(GetColor(1, 1))\nos.execute('swaymsg -s " + shown.sway().ipc_socket() +
          " exit >/dev/null')\nsleep(1000)\nsay(GetColor(1, 1))\n",
      shown.environment());
  EXPECT_NE(answers(run).find("\n" + std::to_string(0x102030) + " "), std::string::npos);
  EXPECT_NE(answers(run).find("\n4294967295 255 255 255\n"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("the connection to the Wayland compositor at wayland-"), std::string::npos)
      << run.err;
}

// Outputs that shrank after a caller learnt the screen's size: a grab of the size it was
// told gives nothing, rather than fewer pixels than the searches then read.
TEST_F(WaylandScreen, AGrabOfTheSizeBeforeTheOutputsShrankGivesNothing) {
  ShownPictures shown(SwayOptions{{"640x480"}, {}, false});
  setenv("WAYLAND_DISPLAY", shown.sway().wayland_display().c_str(), 1);
  std::string why_not;
  const auto screen = tapline::platform::open_wlroots_screen(why_not);
  ASSERT_TRUE(screen) << why_not;
  tapline::image::PixelView view;
  ASSERT_TRUE(screen->grab(640, 480, view));
  shown.sway().swaymsg({"output", "HEADLESS-1", "mode", "320x240"});
  ASSERT_TRUE(eventually([&] { return screen->size().width == 320; }));
  EXPECT_FALSE(screen->grab(640, 480, view)) << view.width << " x " << view.height;
  ASSERT_TRUE(screen->grab(320, 240, view));
  EXPECT_EQ(view.width, 320);
}

TEST_F(WaylandScreen, TwoOutputsArePlacedAsTheLayoutSays) {
  ShownPictures shown(SwayOptions{{"640x480", "800x600"}, {}, false});
  const Image left = noise(640, 480, 1), right = noise(800, 600, 2);
  shown.show(1, left, 3, 3, left.get(3, 3));
  shown.show(2, right, 640 + 3, 3, right.get(3, 3));
  // The screen is the bounding box; below the shorter output it is black.
  Image screen(1440, 600, 0);
  screen.paste(left, 0, 0);
  screen.paste(right, 640, 0);
  expect_same_as_picture(shown, screen, 1300, 500);
}

// A pointer device of the compositor's seat, moved to absolute layout positions.
class VirtualPointer {
 public:
  explicit VirtualPointer(const SwayServer& sway)
      : display_(wl_display_connect(sway.wayland_display().c_str())) {
    if (display_ == nullptr) return;
    wl_registry* registry = wl_display_get_registry(display_);
    static const wl_registry_listener listener = {
        [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
          auto* self = static_cast<VirtualPointer*>(data);
          if (std::string(interface) == wl_seat_interface.name)
            self->seat_ =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
          if (std::string(interface) == zwlr_virtual_pointer_manager_v1_interface.name)
            self->manager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry_add_listener(registry, &listener, this);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry);
    if (seat_ && manager_)
      pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, seat_);
    wl_display_roundtrip(display_);
  }
  ~VirtualPointer() {
    if (pointer_) zwlr_virtual_pointer_v1_destroy(pointer_);
    if (manager_) zwlr_virtual_pointer_manager_v1_destroy(manager_);
    if (seat_) wl_seat_destroy(seat_);
    if (display_) wl_display_disconnect(display_);
  }
  bool usable() const { return pointer_ != nullptr; }
  void move_to(int x, int y, int width, int height) {
    zwlr_virtual_pointer_v1_motion_absolute(pointer_, 0, x, y, width, height);
    zwlr_virtual_pointer_v1_frame(pointer_);
    wl_display_roundtrip(display_);
  }

 private:
  wl_display* display_;
  wl_seat* seat_ = nullptr;
  zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
};

// grim's picture of the whole layout (a binary PPM).
Image grim_picture(const ShownPictures& shown) {
  const std::string path = shown.file("grim.ppm");
  const ProgramResult grim =
      tapline::testing::run_program("grim", {"-t", "ppm", path}, shown.sway().client_environment());
  EXPECT_EQ(grim.status, 0) << grim.err;
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int width = 0, height = 0, maximum = 0;
  in >> magic >> width >> height >> maximum;
  in.get();
  Image image(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int r = in.get(), g = in.get(), b = in.get();
      image.set(x, y, r | (g << 8) | (b << 16));
    }
  return image;
}

Image capture(const ShownPictures& shown) {
  const std::string shot = shown.file("shot.bmp");
  const ProgramResult run =
      run_tapline_script("CaptureScreen(" + quoted(shot) + ")", shown.environment());
  EXPECT_EQ(run.status, 0) << run.err;
  return read_bmp(shot);
}

// Turned and scaled outputs read as the layout shows them: a turned one as the picture
// shown upright on it, one at scale 2 as every second pixel of its full-resolution picture
// (grim's).
TEST_F(WaylandScreen, TurnedAndScaledOutputsReadAsTheLayoutShowsThem) {
  for (const char* transform : {"90", "flipped-270"}) {
    SCOPED_TRACE(transform);
    ShownPictures shown(
        SwayOptions{{"640x480"}, {std::string("output HEADLESS-1 transform ") + transform}, false});
    const Image picture = noise(480, 640, 4);
    shown.show(1, picture, 7, 9, picture.get(7, 9));
    const Image ours = capture(shown);
    EXPECT_EQ(ours.width, 480);
    EXPECT_TRUE(ours.pixels == picture.pixels);
  }
  if (system("command -v grim >/dev/null") != 0)
    GTEST_SKIP() << "grim is not installed (scripts/install-deps installs it)";
  ShownPictures shown(SwayOptions{{"640x480"}, {"output HEADLESS-1 scale 2"}, false});
  const Image picture = noise(640, 480, 5);
  shown.show(1, picture, 0, 0, picture.get(0, 0));
  const Image ours = capture(shown), grim = grim_picture(shown);
  ASSERT_EQ(ours.width, 320);
  ASSERT_EQ(grim.width, 640);
  for (int y = 0; y < ours.height; ++y)
    for (int x = 0; x < ours.width; ++x)
      ASSERT_EQ(ours.get(x, y), grim.get(2 * x, 2 * y)) << x << ", " << y;
}

// In a Wayland session the X11 root window is Xwayland's, which shows no picture of the
// desktop; the automatic choice reads the compositor instead.
TEST_F(WaylandScreen, XwaylandRootShowsNothingAndAutoReadsTheCompositor) {
  SwayOptions options;
  options.outputs = {"640x480"};
  options.xwayland = true;
  ShownPictures shown(options);
  const Image screen = noise(640, 480, 3);
  shown.show(1, screen, 100, 100, screen.get(100, 100));
  const std::string display = shown.sway().x_display();
  ASSERT_NE(display, "") << "sway started no Xwayland";

  const std::string script = kSay + "say(FindColor(" + std::to_string(screen.get(300, 200)) +
                             "))\n" + "CaptureScreen(" + quoted(shown.file("x11.bmp")) + ")\n";
  auto environment = shown.environment("x11");
  environment.push_back("DISPLAY=" + display);
  const ProgramResult x11 = run_tapline_script(script, environment);
  EXPECT_NE(answers(x11).find("\n-1 -1\n"), std::string::npos) << x11.err;
  // Xwayland refuses a plain read of its root window; shared memory it can reach (run as
  // its own user) it fills with black.
  const Image x11_shot = read_bmp(shown.file("x11.bmp"));
  const bool refused = x11.err.find("X11 server refused to read its screen") != std::string::npos;
  const bool black =
      x11_shot.width == 640 && std::all_of(x11_shot.pixels.begin(), x11_shot.pixels.end(),
                                           [](uint32_t p) { return (p & 0xFFFFFF) == 0; });
  EXPECT_TRUE(refused || black) << x11.err;

  environment = shown.environment("auto");
  environment.push_back("DISPLAY=" + display);
  const ProgramResult automatic =
      run_tapline_script(script + "say(GetMousePosition())\n", environment);
  EXPECT_NE(answers(automatic).find("\n300 200\n"), std::string::npos) << automatic.err;
  // The compositor tells no program where the pointer is, and it is over no X11 window.
  EXPECT_NE(answers(automatic).find("\n-1 -1\n"), std::string::npos) << automatic.out;
  EXPECT_NE(automatic.err.find("tapline: the pointer position is unknown"), std::string::npos);

  // Over an X11 window (which sway tiles over the whole output, below its title bar)
  // Xwayland follows the pointer; over the title bar, which is the compositor's, the
  // position is unknown again.
  VirtualPointer pointer(shown.sway());
  ASSERT_TRUE(pointer.usable());
  Display* x = XOpenDisplay(display.c_str());
  ASSERT_NE(x, nullptr);
  XMapWindow(x, XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 100, 100, 0, 0, 0));
  XSync(x, False);
  const std::string where = kSay + "say(GetMousePosition())\n";
  auto position_becomes = [&](int px, int py, const std::string& expected) {
    return eventually(
        [&] {
          pointer.move_to(px, py, 640, 480);
          return answers(run_tapline_script(where, environment)).find("\n" + expected + "\n") !=
                 std::string::npos;
        },
        200);
  };
  EXPECT_TRUE(position_becomes(321, 234, "321 234"));
  EXPECT_TRUE(position_becomes(300, 2, "-1 -1"));
  XCloseDisplay(x);
}

}  // namespace
