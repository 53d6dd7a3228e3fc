// The pixel layouts compositors and screen-cast streams deliver read as the colours they
// hold: each layout's words are built here from the channels by the layout's definition.
#include "image/pixel_formats.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tapline::image::ColorValue;
using tapline::image::convert_pixels;
using tapline::image::Pixel;
using tapline::image::PixelLayout;

struct Channels {
  uint32_t red, green, blue;
};

uint32_t ten_bits(uint32_t v8) { return (v8 << 2) | (v8 >> 6); }

uint32_t word(PixelLayout layout, Channels c, uint32_t top) {
  switch (layout) {
    case PixelLayout::xrgb8888:
      return (top << 24) | (c.red << 16) | (c.green << 8) | c.blue;
    case PixelLayout::xbgr8888:
      return (top << 24) | (c.blue << 16) | (c.green << 8) | c.red;
    case PixelLayout::xrgb2101010:
      return (top << 30) | (ten_bits(c.red) << 20) | (ten_bits(c.green) << 10) | ten_bits(c.blue);
    case PixelLayout::xbgr2101010:
      return (top << 30) | (ten_bits(c.blue) << 20) | (ten_bits(c.green) << 10) | ten_bits(c.red);
  }
  return 0;
}

TEST(PixelFormats, EveryLayoutReadsAsItsColoursWhateverTheFillerBits) {
  const std::vector<Channels> colours = {
      {0x12, 0x34, 0x56}, {0xFF, 0x00, 0x80}, {0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF}, {1, 2, 3}};
  for (PixelLayout layout : {PixelLayout::xrgb8888, PixelLayout::xbgr8888, PixelLayout::xrgb2101010,
                             PixelLayout::xbgr2101010}) {
    std::vector<uint32_t> row;
    for (size_t i = 0; i < colours.size(); ++i) row.push_back(word(layout, colours[i], i % 4));
    std::vector<Pixel> out(row.size());
    convert_pixels(layout, row.data(), out.data(), static_cast<int>(row.size()));
    for (size_t i = 0; i < colours.size(); ++i) {
      const ColorValue expected =
          colours[i].red | (colours[i].green << 8) | (colours[i].blue << 16);
      EXPECT_EQ(tapline::image::color_of(out[i]), expected)
          << "layout " << static_cast<int>(layout) << ", pixel " << i;
    }
  }
}

}  // namespace
