// KDE Plasma on a private headless KWin: the screen through KWin's screenshots, the pointer
// and the windows through KWin scripts, the clipboard through data control, and the
// software device typing and clicking through KWin's fake input. The programs run as
// installed (cmake --install into a scratch prefix), since KWin grants its screenshots and
// fake input to the programs that the installed .desktop files name.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <memory>

#include "child_process.h"
#include "image/bmp.h"
#include "kwin.h"
#include "program_run.h"
#include "screen_images.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::eventually;
using tapline::testing::Image;
using tapline::testing::KWinOptions;
using tapline::testing::KWinServer;
using tapline::testing::ProgramResult;
using tapline::testing::quoted;
using tapline::testing::run_program;
using tapline::testing::TempDir;

// The results a script wrote with show(...) below, one line each.
std::string results(const std::string& out) {
  std::string kept;
  for (size_t start = out.find("{"); start != std::string::npos; start = out.find("{", start + 1))
    if (const size_t end = out.find("}", start); end != std::string::npos)
      kept += out.substr(start + 1, end - start - 1) + "\n";
  return kept;
}
constexpr const char* kShow =
    "local function show(...) io.write('{', table.concat({...}, ' '), '}\\n') end\n";

class KdeDesktop : public ::testing::Test {
 protected:
  // The programs installed once for the whole suite, with their grants.
  static void SetUpTestSuite() {
    if (!KWinServer::skip_reason().empty()) return;
    prefix_ = new TempDir;
    const ProgramResult installed =
        run_program("cmake", {"--install", TAPLINE_BINARY_DIR, "--prefix", prefix_->directory()});
    ASSERT_EQ(installed.status, 0) << installed.err;
  }
  static void TearDownTestSuite() {
    delete prefix_;
    prefix_ = nullptr;
  }
  void SetUp() override {
    if (const std::string reason = KWinServer::skip_reason(); !reason.empty())
      GTEST_SKIP() << reason;
  }

  static std::string installed(const std::string& program) {
    return prefix_->file("bin/" + program);
  }
  // KWin with the grants of the scratch install.
  static std::unique_ptr<KWinServer> start_kwin(KWinOptions options = {}) {
    options.data_dirs = {prefix_->file("share")};
    return std::make_unique<KWinServer>(options);
  }
  // Runs `script` with the installed tapline on `desktop`.
  static ProgramResult run_script(const KWinServer& desktop, const std::string& script,
                                  const std::string& program = installed("tapline")) {
    tapline::testing::TempFile file(script);
    std::vector<std::string> environment = desktop.client_environment();
    environment.push_back("TAPLINE_SCREEN=");
    return run_program(program, {file.path(), "net", "127.0.0.1", "9"}, environment);
  }
  // Shows the picture at `path` fullscreen (at the output's `scale`), and waits until the screen
  // functions see it: until GetColor(`point`) gives `color`.
  static std::unique_ptr<ChildProcess> show_picture(const KWinServer& desktop,
                                                    const std::string& path,
                                                    const std::string& point,
                                                    const std::string& color, int scale) {
    ChildOptions options;
    options.environment = desktop.client_environment();
    auto client = std::make_unique<ChildProcess>(
        std::vector<std::string>{TAPLINE_WAYLAND_PICTURE, "--scale", std::to_string(scale), path},
        options);
    EXPECT_EQ(client->out_line(), "shown");
    EXPECT_TRUE(eventually(
        [&] {
          return results(run_script(desktop, std::string(kShow) + "show(GetColor(" + point + "))")
                             .out) == color;
        },
        200));
    return client;
  }

  static TempDir* prefix_;
};
TempDir* KdeDesktop::prefix_ = nullptr;

// The screen functions answer as the same picture does, on one output, on two side by side,
// and on one scaled 2 (its native pixels sampled into logical coordinates).
TEST_F(KdeDesktop, ScreenFunctionsAnswerAsTheSamePictureDoes) {
  TempDir dir;
  Image picture(1280, 720, 0x102030);
  picture.fill(200, 100, 100, 50, 0x0000FF);
  picture.set(640, 300, 0xFF8001);
  picture.set(1279, 719, 0xABCDEF);
  Image pattern(7, 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) pattern.set(x, y, 0x010203 * (x + 8 * y));
  picture.paste(pattern, 900, 500);
  const std::string shown = dir.write("screen.bmp", tapline::testing::make_bmp(picture));
  const std::string part = dir.write("part.bmp", tapline::testing::make_bmp(pattern));
  auto script = [&](const std::string& capture) {
    return kShow +
           std::string(
               "show(GetScreenResolution())\n"
               "show(GetColor(250, 120))\n"
               "show(GetColor(1280, 0))\n"
               "show(FindColor(0xFF8001))\n"
               "show(FindColor(255, 250, 0, 99999, 99999))\n"
               "show(FindColor(0xABCDEF))\n"
               "show(FindBmp(" +
               quoted(part) +
               ", 0, 0, 99999, 99999))\n"
               "CaptureScreen(") +
           quoted(capture) + ")\n";
  };
  const auto from_picture =
      run_program(tapline::testing::tapline_binary(),
                  {dir.write("p.lua", script(dir.file("picture.bmp"))), "net", "127.0.0.1", "9"},
                  {"TAPLINE_SCREEN=" + shown});
  ASSERT_EQ(results(from_picture.out).substr(0, 9), "1280 720\n");

  for (const auto& [outputs, scale] : {std::pair{1, 1}, {2, 1}, {1, 2}}) {
    SCOPED_TRACE("outputs " + std::to_string(outputs) + ", scale " + std::to_string(scale));
    KWinOptions options;
    options.outputs = outputs;
    options.scale = scale;
    const auto desktop = start_kwin(options);
    const auto client = show_picture(*desktop, shown, "1279, 719", "11259375 239 205 171\n", scale);
    const auto from_kwin = run_script(*desktop, script(dir.file("kwin.bmp")));
    ASSERT_EQ(from_kwin.status, 0) << from_kwin.err;
    EXPECT_NE(from_kwin.err.find("tapline: screen: KWin screenshot on wayland-kde\n"),
              std::string::npos)
        << from_kwin.err;
    std::string expected = results(from_picture.out);
    if (outputs == 2) {
      // The second output, black, beside the first: (1280, 0) lies on it.
      const size_t second = expected.find('\n') + 1;
      const size_t third = expected.find('\n', second) + 1;
      const size_t fourth = expected.find('\n', third) + 1;
      expected = "2560 720\n" + expected.substr(second, third - second) + "0 0 0 0\n" +
                 expected.substr(fourth);
    }
    EXPECT_EQ(results(from_kwin.out), expected) << from_kwin.err;
    tapline::image::Bitmap shot;
    std::string error;
    ASSERT_TRUE(tapline::image::read_bmp(dir.file("kwin.bmp").c_str(), shot, error)) << error;
    const tapline::testing::PixelView view = shot.view();
    ASSERT_EQ(view.width, 1280 * outputs);
    for (int y = 0; y < 720; ++y)
      ASSERT_EQ(std::memcmp(view.row(y), picture.view().row(y), 1280 * 4), 0) << "line " << y;
  }
}

// The next line of `client` that starts with `prefix`, skipping others.
std::string next_line(ChildProcess& client, const std::string& prefix) {
  for (;;) {
    bool ok = false;
    const std::string line = client.out_line(ok);
    if (!ok) return "(none: no line starting \"" + prefix + "\")";
    if (line.rfind(prefix, 0) == 0) return line;
  }
}

// One run through it all: windows of both kinds found and placed, the pointer, the device
// clicking, typing and touching in the window it activated and letting go when stopped, and the
// clipboard shared with Wayland and X11 programs and kept across runs.
TEST_F(KdeDesktop, WindowsPointerDeviceAndClipboard) {
  const auto desktop = start_kwin();
  std::vector<std::string> environment = desktop->client_environment();
  environment.push_back("LC_ALL=C.UTF-8");
  ChildOptions options;
  options.environment = environment;
  options.out = ChildOutput::Discard;  // unread: a full pipe would stop the device
  tapline::testing::ListeningDevice device(installed("tapline-device"), {"--inject", "kde"},
                                           options);
  ASSERT_GT(device.port(), 0);
  options.out = ChildOutput::Pipe;
  options.err = ChildOutput::Inherit;
  ChildProcess client({TAPLINE_WAYLAND_CLIENT, "--window", "400", "300"}, options);
  ASSERT_EQ(next_line(client, "ready"), "ready 400 300");
  ChildProcess peer({"xmessage", "-geometry", "+0+0", "an X11 window"}, options);
  auto script = [&](const std::string& text) {
    tapline::testing::TempFile file(kShow + text);
    const ProgramResult run =
        run_program(installed("tapline"),
                    {file.path(), "net", "127.0.0.1", std::to_string(device.port())}, environment);
    EXPECT_EQ(run.status, 0) << run.err;
    return run;
  };
  ASSERT_TRUE(eventually(
      [&] { return results(script("show(GetWindowPos('xmessage'))").out).rfind("-1", 0) != 0; },
      100));

  const ProgramResult placed = script(R"(
    local wayland = select(5, GetWindowPos("Tapline desktop client"))
    local x11 = select(5, GetWindowPos("xmessage"))
    SetWindowPos(x11, 700, 400)
    local x, y, width, height = GetWindowPos("xmessage")
    show(x, y, tostring(width > 0), tostring(height > 0))
    SetWindowPos(wayland, 100, 150)
    local x, y, width, height, handle = GetWindowPos("Tapline desktop client")
    show(x, y, width, height, tostring(handle == wayland))
    MoveTo(300, 250)
    LeftClick()
    KeyPress("a")
    show(GetMousePosition())
    TouchSet(1280, 720)
    TouchSlide(300, 250, 400, 250)
    KeyDown("LShift")
    LeftDown()
    Touch(350, 280)
  )");
  EXPECT_EQ(results(placed.out), "700 400 true true\n100 150 400 300 true\n300 250\n")
      << placed.err;
  EXPECT_EQ(next_line(client, "button-down"), "button-down 1 200 100");
  EXPECT_EQ(next_line(client, "key-down"), "key-down a 0");
  // Touches are KWin's own, at the same logical positions as the pointer's.
  EXPECT_EQ(next_line(client, "touch-"), "touch-down 0 200 100");
  EXPECT_EQ(next_line(client, "touch-"), "touch-motion 0 250 100");
  EXPECT_EQ(next_line(client, "touch-"), "touch-up 0");
  EXPECT_EQ(next_line(client, "key-down"), "key-down Shift_L 0");
  EXPECT_EQ(next_line(client, "button-down"), "button-down 1 200 100");
  EXPECT_EQ(next_line(client, "touch-"), "touch-down 0 250 130");
  // Stopped, the device lets go of what the script left held.
  EXPECT_EQ(device.end(SIGTERM), 0);
  EXPECT_EQ(next_line(client, "key-up Shift"), "key-up Shift_L 101");
  EXPECT_EQ(next_line(client, "button-up"), "button-up 1 200 100");
  EXPECT_EQ(next_line(client, "touch-"), "touch-up 0");

  // The clipboard: Wayland programs see what a run set, a run sees what they set, and what
  // a run set stays after it ends, also for an X11 program while an X11 window is active.
  script("SetClipBoard('set by a run')");
  EXPECT_EQ(run_program("wl-paste", {"-n"}, environment).out, "set by a run");
  EXPECT_EQ(run_program("wl-copy", {"set by wl-copy"}, environment).status, 0);
  EXPECT_EQ(results(script("show(GetClipBoard())").out), "set by wl-copy\n");
  script(
      "SetClipBoard('kept after the run')\nSetWindowPos(select(5, GetWindowPos('xmessage')), 0, "
      "0)");
  EXPECT_EQ(results(script("show(GetClipBoard())").out), "kept after the run\n");
  EXPECT_EQ(run_program("xclip", {"-o", "-selection", "clipboard"}, environment).out,
            "kept after the run");
}

// Run from the build tree, neither program has a grant: each says how to get it.
TEST_F(KdeDesktop, WithoutItsGrantEachProgramSaysHowToGetIt) {
  const KWinServer desktop;
  const ProgramResult run = run_script(desktop, std::string(kShow) + "show(GetColor(0, 0))",
                                       tapline::testing::tapline_binary());
  EXPECT_NE(run.err.find("KWin screenshot: KWin grants its screenshots only to programs that a "
                         ".desktop file names, and none names " +
                         tapline::testing::tapline_binary() +
                         ": run the installed tapline (cmake --install or the package put its "
                         "grant in share/applications/tapline.desktop)"),
            std::string::npos)
      << run.err;
  const ProgramResult device = run_program(tapline::testing::device_binary(), {"--inject", "kde"},
                                           desktop.client_environment());
  EXPECT_EQ(device.status, 1);
  EXPECT_NE(device.err.find("offers no fake input (org_kde_kwin_fake_input). KWin offers it only "
                            "to programs that a .desktop file names, and none names " +
                            tapline::testing::device_binary() +
                            ": run the installed tapline-device (cmake --install or the package "
                            "put its grant in share/applications/tapline-device.desktop)\n"),
            std::string::npos)
      << device.err;
}

}  // namespace
