// The host screen as the script library and the absolute mouse see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

struct _XDisplay;  // Xlib's Display, kept out of this header

namespace tapline::platform {

struct ScreenSize {
  int width = 0;
  int height = 0;
};

struct ScreenPoint {
  int x = 0;
  int y = 0;
};

// A colour value: R + 256 * G + 65536 * B.
using ColorValue = uint32_t;

// One pixel as it lies in memory: bytes blue, green, red and one ignored byte, so that a
// little-endian 32-bit load gives B + 256 * G + 65536 * R + (ignored << 24).
using Pixel = uint32_t;
constexpr Pixel kPixelColorMask = 0x00FFFFFF;

constexpr ColorValue color_of(Pixel pixel) {
  return ((pixel >> 16) & 0xFF) | (pixel & 0xFF00) | ((pixel & 0xFF) << 16);
}
// The inverse of color_of (the ignored byte 0); also maps a pixel back to a colour value.
constexpr Pixel pixel_of(ColorValue color) { return color_of(color); }

// Rows of 32-bit pixels in memory, in either order: line y (counted from the top) starts
// at top + y * row_step, so a bottom-up buffer has a negative step. Nothing is owned.
struct PixelView {
  const Pixel* top = nullptr;
  ptrdiff_t row_step = 0;  // in pixels
  int width = 0;
  int height = 0;

  const Pixel* row(int y) const { return top + static_cast<ptrdiff_t>(y) * row_step; }
  bool empty() const { return width <= 0 || height <= 0; }
};

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
// variable TAPLINE_SCREEN (a BMP file) when that is set, else the X11 display. Tests
// substitute their own.
ScreenSource& screen();
// Replaces the screen source; nullptr restores the default.
void set_screen(ScreenSource* replacement);

// The X11 display over the given connection (the process's own connection when nullptr).
// `allow_shared_memory` false forces plain image reads.
std::unique_ptr<ScreenSource> make_x11_screen(_XDisplay* display = nullptr,
                                              bool allow_shared_memory = true);
// A BMP picture as the screen, with the cursor at (0, 0). nullptr (and one line on
// standard error) when the file is not a readable BMP picture.
std::unique_ptr<ScreenSource> open_picture_screen(const char* path);

}  // namespace tapline::platform
