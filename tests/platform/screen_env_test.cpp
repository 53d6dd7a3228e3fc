// Which screen a process gets: the picture named by TAPLINE_SCREEN, or none at all. Each
// case runs in a child process of its own, since the choice is made once per process.
#include <gtest/gtest.h>

#include <filesystem>

#include "program_run.h"
#include "screen_images.h"
#include "script_state.h"

namespace {

using tapline::testing::Image;
using tapline::testing::quoted;
using Script = tapline::testing::ScriptState;
using tapline::testing::TempDir;

// Ends the child with status 0 when `code` returns exactly `expected` as its results, and
// says what it got otherwise.
void expect_results(Script& script, const std::string& code, std::vector<int64_t> expected,
                    std::string* printed = nullptr) {
  const auto results = script.integers(code, printed);
  if (results != expected) {
    std::fprintf(stderr, "%s gave", code.c_str());
    for (auto r : results) std::fprintf(stderr, " %lld", static_cast<long long>(r));
    std::fprintf(stderr, "\n");
    std::exit(1);
  }
}

void no_screen_behaviour() {
  Script script;
  std::string printed;
  expect_results(script, "return GetScreenResolution()", {0, 0});
  expect_results(script, "return GetMousePosition()", {-1, -1});
  expect_results(script, "return GetColor(1, 1)", {4294967295, 255, 255, 255});
  expect_results(script, "return GetColor()", {4294967295, 255, 255, 255});
  expect_results(script, "return FindColor(0)", {-1, -1}, &printed);
  if (!tapline::testing::ends_with_timing(printed)) std::exit(2);
  bool shot_written = false;
  {  // closed before exiting, so that the folder goes (exit runs no destructors)
    TempDir dir;
    const auto pattern = dir.write("p.bmp", tapline::testing::make_bmp(Image(3, 3, 0)));
    expect_results(script, "return FindBmp(" + quoted(pattern) + ", 0, 0, 0, 0)", {-1, -1});
    expect_results(script, "return FindBmpEx(" + quoted(pattern) + ", 0, 0, 0, 0, 5, 0)", {-1, -1});
    const std::string shot = dir.file("shot.bmp");
    expect_results(script, "CaptureScreen(" + quoted(shot) + ")", {});
    shot_written = std::filesystem::exists(shot);
  }
  std::exit(shot_written ? 3 : 0);
}

TEST(ScreenChoice, WithoutDisplayOrPictureThereIsNoScreen) {
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("TAPLINE_DESKTOP");
        unsetenv("TAPLINE_SCREEN");
        no_screen_behaviour();
      },
      testing::ExitedWithCode(0),
      "^tapline: no X11 display \\(DISPLAY is not set\\); screen, cursor and key state are "
      "unavailable\nCaptureScreen: there is no screen to save; .*shot.bmp was not written\n$");
}

// Why each screen source of this build cannot serve a Wayland session that has neither a
// compositor nor a session bus.
#if defined(TAPLINE_WITH_WAYLAND) && defined(TAPLINE_WITH_PIPEWIRE) && defined(TAPLINE_WITH_KDE)
const std::string kWaylandScreenReasons =
    "wlroots screencopy: cannot connect to the Wayland compositor at wayland-9 \\(No such file "
    "or directory\\); GNOME screen cast: cannot reach the session bus \\(No such file or "
    "directory\\); KWin screenshot: cannot reach the session bus \\(No such file or "
    "directory\\); desktop portal: cannot reach the session bus \\(No such file or "
    "directory\\): run Tapline inside the desktop session, where DBUS_SESSION_BUS_ADDRESS is "
    "set";
#elif !defined(TAPLINE_WITH_WAYLAND) && !defined(TAPLINE_WITH_PIPEWIRE) && \
    !defined(TAPLINE_WITH_KDE)
const std::string kWaylandScreenReasons = "this build has no screen source for this desktop";
#else
const std::string kWaylandScreenReasons = ".*";
#endif

// A Wayland session is read through its compositor: when none answers, the reason is
// said and there is no screen (X11 is not tried: Xwayland's root window is no picture).
TEST(ScreenChoice, AWaylandSessionWithoutCompositorHasNoScreenAndSaysWhy) {
  EXPECT_EXIT(
      {
        setenv("DISPLAY", ":99999", 1);  // never opened
        setenv("WAYLAND_DISPLAY", "/nonexistent/wayland-9", 1);
        setenv("TAPLINE_DESKTOP", "wayland-please", 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
        unsetenv("TAPLINE_SCREEN");
        no_screen_behaviour();
      },
      testing::ExitedWithCode(0),
      "^tapline: TAPLINE_DESKTOP=wayland-please is not x11, wayland or auto; choosing as for "
      "auto\ntapline: screen: no screen source works on wayland-9 \\(" +
          kWaylandScreenReasons +
          "\\); there is no screen. TAPLINE_DESKTOP=x11 reads Xwayland instead, which shows no "
          "Wayland window\nCaptureScreen: there is no screen to save; .*shot.bmp was not "
          "written\n$");
}

TEST(ScreenChoice, AnUnreadablePictureMeansNoScreen) {
  TempDir dir;
  const std::string path = dir.write("screen.bmp", std::string("BM\0\0", 4));
  EXPECT_EXIT(
      {
        setenv("TAPLINE_SCREEN", path.c_str(), 1);
        no_screen_behaviour();
      },
      testing::ExitedWithCode(0),
      "^tapline: cannot use .*screen.bmp as the screen \\(file too short for a BMP header\\); "
      "there is no screen\nCaptureScreen: there is no screen to save; .*\n$");
}

TEST(ScreenChoice, ThePictureNamedInTheEnvironmentIsTheScreen) {
  TempDir dir;
  Image image(40, 30, 0x202020);
  image.set(12, 13, 0xABCDEF);
  const std::string path = dir.write("screen.bmp", tapline::testing::make_bmp(image));
  EXPECT_EXIT(
      {
        setenv("TAPLINE_SCREEN", path.c_str(), 1);
        setenv("DISPLAY", ":99999", 1);  // never opened
        Script script;
        expect_results(script, "return GetScreenResolution()", {40, 30});
        expect_results(script, "return GetMousePosition()", {0, 0});
        expect_results(script, "return GetColor()", {0x202020, 0x20, 0x20, 0x20});
        expect_results(script, "return FindColor(0xABCDEF)", {12, 13});
        std::fprintf(stderr, "done\n");
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^done\n$");
}

}  // namespace
