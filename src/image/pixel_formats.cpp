#include "image/pixel_formats.h"

#include <cstring>

namespace tapline::image {
namespace {

// The top 8 of 10 bits of a channel lying at `shift`.
constexpr uint32_t top8_of10(uint32_t raw, int shift) { return (raw >> (shift + 2)) & 0xFF; }

}  // namespace

void convert_pixels(PixelLayout layout, const uint32_t* source, Pixel* out, int count) {
  switch (layout) {
    case PixelLayout::xrgb8888:
      std::memcpy(out, source, static_cast<size_t>(count) * sizeof(Pixel));
      return;
    case PixelLayout::xbgr8888:
      for (int i = 0; i < count; ++i) {
        const uint32_t raw = source[i];
        out[i] = ((raw & 0xFF) << 16) | (raw & 0xFF00) | ((raw >> 16) & 0xFF);
      }
      return;
    case PixelLayout::xrgb2101010:
      for (int i = 0; i < count; ++i) {
        const uint32_t raw = source[i];
        out[i] = (top8_of10(raw, 20) << 16) | (top8_of10(raw, 10) << 8) | top8_of10(raw, 0);
      }
      return;
    case PixelLayout::xbgr2101010:
      for (int i = 0; i < count; ++i) {
        const uint32_t raw = source[i];
        out[i] = (top8_of10(raw, 0) << 16) | (top8_of10(raw, 10) << 8) | top8_of10(raw, 20);
      }
      return;
  }
}

}  // namespace tapline::image
