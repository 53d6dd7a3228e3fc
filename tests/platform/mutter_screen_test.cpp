// The screen of a headless GNOME desktop, seen through mutter's screen cast service, gives
// every screen function the answers the same picture gives as TAPLINE_SCREEN.
#include <gtest/gtest.h>

#include <fstream>

#include "child_process.h"
#include "mutter.h"
#include "program_run.h"
#include "screen_images.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildProcess;
using tapline::testing::Image;
using tapline::testing::MutterServer;
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

  ChildOptions options;
  options.environment = desktop.client_environment();
  ChildProcess client({TAPLINE_WAYLAND_PICTURE, shown}, options);
  ASSERT_EQ(client.out_line(), "shown");
  // The pointer pushed into the top-left corner, where the picture source has it.
  ASSERT_TRUE(desktop.move_pointer(-5000, -5000));

  std::vector<std::string> on_mutter = desktop.client_environment();
  on_mutter.push_back("TAPLINE_SCREEN=");
  // The window may still be fading in: wait until the screen shows the picture.
  ASSERT_TRUE(tapline::testing::eventually(
      [&] {
        return results(
                   run_tapline_script(std::string(kShow) + "show(GetColor(1279, 719))", on_mutter)
                       .out) == "11259375 239 205 171\n";
      },
      200));

  auto script = [&](const std::string& capture) {
    return kShow +
           std::string(
               "show(GetScreenResolution())\n"
               "show(GetMousePosition())\n"
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
  const auto from_mutter = run_tapline_script(script(dir.file("mutter.bmp")), on_mutter);
  ASSERT_EQ(from_mutter.status, 0) << from_mutter.err;
  EXPECT_EQ(results(from_mutter.out), results(from_picture.out)) << from_mutter.err;
  EXPECT_EQ(results(from_picture.out).substr(0, 13), "1280 720\n0 0\n");
  EXPECT_TRUE(read_file(dir.file("mutter.bmp")) == read_file(dir.file("picture.bmp")));
}

}  // namespace
