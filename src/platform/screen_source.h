// The host screen as the script library and the absolute mouse see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "image/pixels.h"

struct _XDisplay;  // Xlib's Display, kept out of this header

namespace tapline::platform {

struct ScreenSize {
  int width = 0;
  int height = 0;
};

using ScreenPoint = image::Point;
using image::ColorValue;
using image::Pixel;
using image::PixelView;

class ScreenSource {
 public:
  virtual ~ScreenSource() = default;
  // The screen's size in pixels; 0 x 0 when there is no screen.
  virtual ScreenSize size() = 0;
  // The host cursor position; empty when there is no screen.
  virtual std::optional<ScreenPoint> cursor() = 0;
  // The colour value of one screen pixel, read with one platform call; empty off the
  // screen or when there is no screen.
  virtual std::optional<ColorValue> pixel(ScreenPoint point) {
    (void)point;
    return std::nullopt;
  }
  // Grabs the rectangle from (0, 0) to (width, height) exclusive, both already limited to
  // the screen, into a buffer the source keeps and reuses. The view stays valid until the
  // next grab or until the source is destroyed. False when the platform gives nothing.
  virtual bool grab(int width, int height, PixelView& out) {
    (void)width, (void)height, (void)out;
    return false;
  }
};

// The current screen source. By default it is the picture named by the environment
// variable TAPLINE_SCREEN (a BMP file) when that is set, else the first source that works
// on the desktop TAPLINE_DESKTOP chooses (platform/desktop.h). Tests substitute their own.
ScreenSource& screen();
// Replaces the screen source; nullptr restores the default.
void set_screen(ScreenSource* replacement);

// The backends, each opened by its row in the seam's table (platform/backend_table.h) or
// by a test. Each gives nullptr with the reason (and what would help) in `why_not`.
//
// The X11 display of the process's own connection; it opens lazily and says itself (once,
// on standard error) when there is none, so it always opens.
std::unique_ptr<ScreenSource> open_x11_screen(std::string& why_not);
// The X11 display over the given connection (the process's own connection when nullptr).
// `allow_shared_memory` false forces plain image reads.
std::unique_ptr<ScreenSource> make_x11_screen(_XDisplay* display = nullptr,
                                              bool allow_shared_memory = true);
// wayland/: the screen of a wlroots compositor through its screencopy protocol, when the
// compositor at WAYLAND_DISPLAY offers it.
std::unique_ptr<ScreenSource> open_wlroots_screen(std::string& why_not);
// screencast/: the GNOME (mutter) screen cast service, which asks the person nothing.
std::unique_ptr<ScreenSource> open_mutter_screen(std::string& why_not);
// kde/: KWin's screenshots (ScreenShot2), when KWin grants them to this program (its
// .desktop file), with the pointer position from a KWin script.
std::unique_ptr<ScreenSource> open_kwin_screen(std::string& why_not);
// screencast/: the desktop portal's screen cast, which may ask the person once.
std::unique_ptr<ScreenSource> open_portal_screen(std::string& why_not);
// picture/: a BMP picture as the screen, with the cursor at (0, 0), when the file is a
// readable BMP picture.
std::unique_ptr<ScreenSource> open_picture_screen(const char* path, std::string& why_not);

}  // namespace tapline::platform
