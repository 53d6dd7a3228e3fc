// The 32-bit pixel layouts compositors and screen-cast streams deliver, and their
// conversion into our pixels. Each is named by its little-endian 32-bit word from the
// most significant channel down, as DRM and wl_shm name them: xrgb8888 lies in memory as
// blue, green, red, x — our own layout.
#pragma once

#include <cstdint>

#include "image/pixels.h"

namespace tapline::image {

enum class PixelLayout {
  xrgb8888,     // also argb8888: ours, read where it lies
  xbgr8888,     // also abgr8888: red first in memory
  xrgb2101010,  // also argb2101010: 10 bits per channel, blue lowest
  xbgr2101010,  // also abgr2101010: 10 bits per channel, red lowest
};

// Converts `count` pixels of `layout` starting at `source` (4 bytes each) into ours.
void convert_pixels(PixelLayout layout, const uint32_t* source, Pixel* out, int count);

// The top 8 of the 10 bits of a channel lying at `shift`.
constexpr uint32_t top8_of10(uint32_t raw, int shift) { return (raw >> (shift + 2)) & 0xFF; }

// One pixel of `layout` as ours.
inline Pixel convert_pixel(PixelLayout layout, uint32_t raw) {
  switch (layout) {
    case PixelLayout::xrgb8888:
      return raw;
    case PixelLayout::xbgr8888:
      return ((raw & 0xFF) << 16) | (raw & 0xFF00) | ((raw >> 16) & 0xFF);
    case PixelLayout::xrgb2101010:
      return (top8_of10(raw, 20) << 16) | (top8_of10(raw, 10) << 8) | top8_of10(raw, 0);
    case PixelLayout::xbgr2101010:
      return (top8_of10(raw, 0) << 16) | (top8_of10(raw, 10) << 8) | top8_of10(raw, 20);
  }
  return raw;
}

}  // namespace tapline::image
