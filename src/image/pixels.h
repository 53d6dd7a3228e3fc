// Pixels in memory and the colour values scripts use for them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tapline::image {

struct Point {
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

}  // namespace tapline::image
