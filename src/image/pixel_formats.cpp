#include "image/pixel_formats.h"

#include <cstring>

namespace tapline::image {
namespace {

// One loop per layout, so that the layout's test is not made per pixel.
template <PixelLayout layout>
void convert_row(const uint32_t* source, Pixel* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = convert_pixel(layout, source[i]);
}

}  // namespace

void convert_pixels(PixelLayout layout, const uint32_t* source, Pixel* out, int count) {
  switch (layout) {
    case PixelLayout::xrgb8888:
      std::memcpy(out, source, static_cast<size_t>(count) * sizeof(Pixel));
      return;
    case PixelLayout::xbgr8888:
      return convert_row<PixelLayout::xbgr8888>(source, out, count);
    case PixelLayout::xrgb2101010:
      return convert_row<PixelLayout::xrgb2101010>(source, out, count);
    case PixelLayout::xbgr2101010:
      return convert_row<PixelLayout::xbgr2101010>(source, out, count);
  }
}

}  // namespace tapline::image
