// The grey picture the text engine reads: scaled, light-on-dark text made dark on light.
#include "image/text_picture.h"

#include <gtest/gtest.h>

#include "image/search_picture.h"
#include "screen_images.h"

namespace {

using tapline::testing::Image;

TEST(TextPicture, ScalesToGreyAndDarkensLightTextOnDarkPanels) {
  // Dark strokes on light paper at the left; a dark panel with light strokes at the right.
  Image screen(120, 40, 0xFFFFFF);
  screen.fill(10, 10, 2, 20, 0x000000);
  screen.fill(60, 0, 60, 40, 0x202020);
  screen.fill(90, 10, 2, 20, 0xFFFFFF);
  tapline::image::GreyPicture grey;
  tapline::image::make_text_picture(screen.view(), {0, 0, 120, 40}, 2, 16, grey);
  ASSERT_EQ(grey.width, 240);
  ASSERT_EQ(grey.height, 80);
  auto level = [&](int x, int y) { return grey.levels[static_cast<size_t>(y) * grey.width + x]; };
  EXPECT_EQ(level(2, 2), 255);     // paper
  EXPECT_EQ(level(21, 40), 0);     // dark stroke
  EXPECT_GT(level(230, 70), 200);  // the panel, inverted to light
  EXPECT_LT(level(181, 40), 40);   // its light stroke, now dark
  // A part of the grab: the region's own pixels, the same levels as in the whole.
  tapline::image::make_text_picture(screen.view(), {80, 0, 120, 40}, 1, 8, grey);
  EXPECT_EQ(grey.width, 40);
  EXPECT_LT(grey.levels[20 * 40 + 10], 40);
}

TEST(TextPicture, TracePicturesFrameEachWord) {
  Image screen(40, 30, 0xFFFFFF);
  tapline::image::SearchMarks marks;
  marks.words = {{{5, 5}, {10, 4}}};
  marks.found = tapline::image::Point{20, 20};
  marks.size = {6, 3};
  const auto picture =
      tapline::image::compose_search_picture(screen.view(), {0, 0, 40, 30}, {}, marks);
  auto color = [&](int x, int y) {
    const uint8_t* p = &picture.bytes[(static_cast<size_t>(y) * picture.width + x) * 3];
    return p[0] | (p[1] << 8) | (p[2] << 16);
  };
  EXPECT_EQ(color(4, 4), 0xFF8000);  // the word's frame, blue
  EXPECT_EQ(color(15, 9), 0xFF8000);
  EXPECT_EQ(color(10, 7), 0xFFFFFF);   // inside it, untouched
  EXPECT_EQ(color(26, 23), 0x00FF00);  // the words found, green
}

}  // namespace
