// The screen of a headless GNOME desktop, seen through mutter's screen cast service, gives
// every screen function the answers the same picture gives as TAPLINE_SCREEN.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "child_process.h"
#include "image/bmp.h"
#include "mutter.h"
#include "program_run.h"
#include "screen_images.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildProcess;
using tapline::testing::Image;
using tapline::testing::MutterServer;
using tapline::testing::PixelView;
using tapline::testing::quoted;
using tapline::testing::run_tapline_script;
using tapline::testing::TempDir;

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

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

// The environment of a tapline run on `desktop`.
std::vector<std::string> on_mutter(const MutterServer& desktop) {
  std::vector<std::string> environment = desktop.client_environment();
  environment.push_back("TAPLINE_SCREEN=");
  return environment;
}

// Shows the picture at `path` fullscreen on the primary monitor, and waits until the screen
// functions see it: until GetColor(`point`) gives `color` (the window may still be fading in).
std::unique_ptr<ChildProcess> show_picture(const MutterServer& desktop, const std::string& path,
                                           const std::string& point, const std::string& color) {
  ChildOptions options;
  options.environment = desktop.client_environment();
  auto client = std::make_unique<ChildProcess>(
      std::vector<std::string>{TAPLINE_WAYLAND_PICTURE, path}, options);
  EXPECT_EQ(client->out_line(), "shown");
  EXPECT_TRUE(tapline::testing::eventually(
      [&] {
        const std::string script = std::string(kShow) + "show(GetColor(" + point + "))";
        return results(run_tapline_script(script, on_mutter(desktop)).out) == color;
      },
      200));
  return client;
}

TEST(MutterScreen, EveryScreenFunctionAnswersAsTheSamePictureDoes) {
  if (const std::string reason = MutterServer::skip_reason(); !reason.empty())
    GTEST_SKIP() << reason;
  MutterServer desktop;
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

  const auto client = show_picture(desktop, shown, "1279, 719", "11259375 239 205 171\n");
  // The pointer pushed into the top-left corner, where the picture source has it.
  ASSERT_TRUE(desktop.move_pointer(-5000, -5000));

  auto script = [&](const std::string& capture) {
    return kShow +
           std::string(
               "show(GetMousePosition())\n"  // first: the cursor waits for the first frame too
               "show(GetScreenResolution())\n"
               "show(GetColor())\n"
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
      run_tapline_script(script(dir.file("picture.bmp")), {"TAPLINE_SCREEN=" + shown});
  const auto from_mutter = run_tapline_script(script(dir.file("mutter.bmp")), on_mutter(desktop));
  ASSERT_EQ(from_mutter.status, 0) << from_mutter.err;
  EXPECT_EQ(results(from_mutter.out), results(from_picture.out)) << from_mutter.err;
  EXPECT_EQ(results(from_picture.out).substr(0, 13), "0 0\n1280 720\n");
  EXPECT_TRUE(read_file(dir.file("mutter.bmp")) == read_file(dir.file("picture.bmp")));
}

}  // namespace

// Two monitors side by side, 640 x 480 and 320 x 240: the screen is their bounding box,
// each monitor in its place, black where neither lies; the cursor is placed by the monitor
// that shows it.
TEST(MutterScreen, SeveralMonitorsMakeOneScreenByTheirLayout) {
  if (const std::string reason = MutterServer::skip_reason(); !reason.empty())
    GTEST_SKIP() << reason;
  MutterServer desktop({{"640x480", "320x240"}});
  TempDir dir;
  Image picture(640, 480, 0x102030);
  picture.set(639, 479, 0xABCDEF);
  picture.fill(10, 20, 30, 40, 0x00FF00);
  const std::string shown = dir.write("screen.bmp", tapline::testing::make_bmp(picture));
  const auto client = show_picture(desktop, shown, "639, 479", "11259375 239 205 171\n");
  // Onto the second monitor (a move that would leave every monitor stops at the edge of
  // the one it starts on), then into its bottom-right corner.
  ASSERT_TRUE(desktop.move_pointer(-5000, -5000));
  ASSERT_TRUE(desktop.move_pointer(700, 0));
  ASSERT_TRUE(desktop.move_pointer(5000, 5000));

  const auto run = run_tapline_script(std::string(kShow) +
                                          "show(GetScreenResolution())\n"
                                          "show(GetMousePosition())\n"
                                          "show(GetColor(700, 300))\n"
                                          "show(FindColor(0x00FF00))\n"
                                          "show(FindColor(0xABCDEF))\n"
                                          "CaptureScreen(" +
                                          quoted(dir.file("shot.bmp")) + ")\n",
                                      on_mutter(desktop));
  EXPECT_EQ(results(run.out), "960 480\n959 239\n0 0 0 0\n10 20\n639 479\n") << run.err;
  tapline::image::Bitmap shot;
  std::string error;
  ASSERT_TRUE(tapline::image::read_bmp(dir.file("shot.bmp").c_str(), shot, error)) << error;
  const PixelView view = shot.view();
  ASSERT_EQ(view.width, 960);
  for (int y = 0; y < 480; ++y)
    ASSERT_EQ(std::memcmp(view.row(y), picture.view().row(y), 640 * 4), 0) << "line " << y;
  EXPECT_EQ(view.row(300)[700], 0u);
}
