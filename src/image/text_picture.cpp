#include "image/text_picture.h"

#include <algorithm>

namespace tapline::image {
namespace {

uint8_t luma(Pixel pixel) {
  const uint32_t blue = pixel & 0xFF, green = (pixel >> 8) & 0xFF, red = (pixel >> 16) & 0xFF;
  return static_cast<uint8_t>((red * 77 + green * 150 + blue * 29) >> 8);
}

// The source pixel before a scaled position and the weight of the one after it, in 1/256,
// measured between pixel centres.
void source_of(int scaled, int scale, int limit, int& first, int& weight) {
  const int position = std::max(((2 * scaled + 1) * 256 / scale - 256) / 2, 0);
  first = std::min(position >> 8, limit - 1);
  weight = first + 1 < limit ? position & 0xFF : 0;
}

void scale_to_grey(const PixelView& grab, SearchRegion region, int scale, GreyPicture& out) {
  const int width = region.x2 - region.x1, height = region.y2 - region.y1;
  uint8_t* level = out.levels.data();
  if (scale == 1) {
    for (int y = 0; y < height; ++y) {
      const Pixel* row = grab.row(region.y1 + y) + region.x1;
      for (int x = 0; x < width; ++x) *level++ = luma(row[x]);
    }
    return;
  }
  for (int y = 0; y < out.height; ++y) {
    int top = 0, down = 0;
    source_of(y, scale, height, top, down);
    const Pixel* upper = grab.row(region.y1 + top) + region.x1;
    const Pixel* lower = grab.row(region.y1 + std::min(top + 1, height - 1)) + region.x1;
    for (int x = 0; x < out.width; ++x) {
      int left = 0, across = 0;
      source_of(x, scale, width, left, across);
      const int right = std::min(left + 1, width - 1);
      const int high = luma(upper[left]) * (256 - across) + luma(upper[right]) * across;
      const int low = luma(lower[left]) * (256 - across) + luma(lower[right]) * across;
      *level++ = static_cast<uint8_t>((high * (256 - down) + low * down) >> 16);
    }
  }
}

void invert_dark_surroundings(int radius, GreyPicture& picture) {
  const int width = picture.width, height = picture.height;
  const size_t stride = static_cast<size_t>(width) + 1;
  // sums[(y + 1) * stride + x + 1]: the levels above and left of (x, y), inclusive.
  std::fill_n(picture.sums.begin(), stride, 0);
  for (int y = 0; y < height; ++y) {
    uint32_t row_sum = 0;
    uint32_t* sums = &picture.sums[(y + 1) * stride];
    sums[0] = 0;
    const uint8_t* level = &picture.levels[static_cast<size_t>(y) * width];
    for (int x = 0; x < width; ++x) {
      row_sum += level[x];
      sums[x + 1] = sums[x + 1 - stride] + row_sum;
    }
  }
  for (int y = 0; y < height; ++y) {
    const int top = std::max(y - radius, 0), bottom = std::min(y + radius + 1, height);
    const uint32_t* upper = &picture.sums[top * stride];
    const uint32_t* lower = &picture.sums[bottom * stride];
    uint8_t* level = &picture.levels[static_cast<size_t>(y) * width];
    for (int x = 0; x < width; ++x) {
      const int left = std::max(x - radius, 0), right = std::min(x + radius + 1, width);
      const uint32_t sum = lower[right] - lower[left] - upper[right] + upper[left];
      const uint32_t count = static_cast<uint32_t>((bottom - top) * (right - left));
      if (sum < count * 128) level[x] = static_cast<uint8_t>(255 - level[x]);
    }
  }
}

}  // namespace

void make_text_picture(const PixelView& grab, SearchRegion region, int scale, int radius,
                       GreyPicture& out) {
  out.width = (region.x2 - region.x1) * scale;
  out.height = (region.y2 - region.y1) * scale;
  out.levels.resize(static_cast<size_t>(out.width) * out.height);
  out.sums.resize((static_cast<size_t>(out.width) + 1) * (out.height + 1));
  scale_to_grey(grab, region, scale, out);
  invert_dark_surroundings(radius, out);
}

}  // namespace tapline::image
