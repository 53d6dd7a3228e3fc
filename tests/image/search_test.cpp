// The colour and pattern searches over pixels in memory, checked against a literal
// rendering of the search rules (every corner in order, every pixel compared).
#include "image/search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "program_run.h"
#include "screen_images.h"
#include "script_state.h"

namespace {

using tapline::image::BufferedText;
using tapline::image::Pixel;
using tapline::image::PixelView;
using tapline::testing::Image;
using ScreenPoint = tapline::image::Point;
using tapline::image::SearchRegion;

using Corner = std::optional<ScreenPoint>;

std::string text(const Corner& c) {
  return c ? std::to_string(c->x) + "," + std::to_string(c->y) : "none";
}

// The grab of `screen` with right edge r and bottom edge b, in the row order asked for.
struct Grab {
  Image image;
  std::vector<Pixel> reversed;
  PixelView view;

  Grab(const Image& screen, int r, int b, bool bottom_up) : image(screen.crop(0, 0, r, b)) {
    view = image.view();
    if (bottom_up) {
      for (int y = image.height - 1; y >= 0; --y)
        reversed.insert(reversed.end(), image.pixels.begin() + y * image.width,
                        image.pixels.begin() + (y + 1) * image.width);
      view.top = reversed.data() + static_cast<size_t>(image.height - 1) * image.width;
      view.row_step = -image.width;
    }
  }
};

// Literal rules: pixel reads outside give -1; the exact search's steps with their texts.
struct Reference {
  const Image& grab;
  const Image& pattern;
  std::string printed;

  int64_t grab_pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= grab.width || y >= grab.height) return -1;
    return grab.get(x, y);
  }
  int64_t pattern_pixel(int j, int i) const {
    if (j < 0 || i < 0 || j >= pattern.width || i >= pattern.height) return -1;
    return pattern.get(j, i);
  }
  bool room(int y) const {
    return static_cast<uint32_t>(grab.height - y) >= static_cast<uint32_t>(pattern.height);
  }
  bool exact(ScreenPoint c) const {
    if (!room(c.y)) return false;
    for (int i = 0; i <= pattern.height - 2; ++i)
      for (int j = 0; j <= pattern.width - 2; ++j)
        if (pattern_pixel(j, i) != grab_pixel(c.x + j, c.y + i)) return false;
    return true;
  }
  Corner scan(int xs, int xe, int ys, int ye) {
    printed += "GetBmpPixel\n ";
    for (int y = ys; y < ye; ++y) {
      printed += "y1=" + std::to_string(y) + "\n";
      for (int x = xs; x < xe; ++x)
        if (grab_pixel(x, y) == pattern_pixel(0, 0)) return ScreenPoint{x, y};
    }
    return std::nullopt;
  }
  Corner find_exact(SearchRegion g) {
    printed += "FindFirstPoint0\n  ";
    Corner c = scan(g.x1, g.x2, g.y1, g.y2);
    if (!c) return std::nullopt;
    printed += "Compare \n";
    if (exact(*c)) return c;
    int r = c->y;
    printed += "FindFirstPoint1 \n";
    while ((c = scan(c->x + 1, g.x2, c->y, c->y + 1)))
      if (exact(*c)) return c;
    printed += "FindFirstPoint2 \n";
    for (;;) {
      c = scan(g.x1, g.x2, r + 1, g.y2);
      if (!c) return std::nullopt;
      if (exact(*c)) return c;
      r = c->y;
      printed += "FindFirstPoint3 ";
      while ((c = scan(c->x + 1, g.x2, c->y, c->y + 1)))
        if (exact(*c)) return c;
    }
  }
  Corner find_tolerant(SearchRegion g, int64_t budget, uint32_t tolerance) const {
    int ja = 0, ia = 0;
    int64_t anchor = pattern_pixel(0, 0);
    for (int i = 0; i <= pattern.height - 2 && pattern.width >= 2; ++i)
      if (pattern_pixel(0, i) > 0) {
        ia = i, anchor = pattern_pixel(0, i);
        break;
      }
    for (int y = g.y1; y < g.y2; ++y)
      for (int x = g.x1; x < g.x2; ++x) {
        if (grab_pixel(x, y) != anchor) continue;
        const ScreenPoint c{x - ja, y - ia};
        if (!room(c.y)) continue;
        int64_t differing = 0;
        for (int i = 0; i <= pattern.height - 2; ++i)
          for (int j = 0; j <= pattern.width - 2; ++j) {
            const int64_t b = pattern_pixel(j, i), s = grab_pixel(c.x + j, c.y + i);
            if (s == b) continue;
            if (s < 0) {
              ++differing;
              continue;
            }
            for (int shift = 0; shift < 24; shift += 8) {
              const int64_t d = ((s >> shift) & 0xFF) - ((b >> shift) & 0xFF);
              if ((d < 0 ? -d : d) > ((tolerance >> shift) & 0xFF)) {
                ++differing;
                break;
              }
            }
          }
        if (differing <= budget) return c;
      }
    return std::nullopt;
  }
};

std::string progress_of(const PixelView& grab, Pixel anchor, SearchRegion region, Corner result) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&buffer, &size);
  {
    BufferedText out(stream);
    tapline::image::write_exact_progress(grab, anchor, region, result, out);
  }
  std::fclose(stream);
  std::string printed(buffer, size);
  std::free(buffer);
  return printed;
}

TEST(FindColor, RowsFirstThenColumnsWithinTheRegion) {
  Image screen(40, 30, 0x101010);
  screen.set(10, 0, 0xABCDEF);
  screen.set(5, 1, 0xABCDEF);
  const auto view = screen.view();
  EXPECT_EQ(text(tapline::image::find_color(view, 0xABCDEF, {0, 0, 40, 30})), "10,0");
  EXPECT_EQ(text(tapline::image::find_color(view, 0xABCDEF, {0, 1, 40, 30})), "5,1");
  EXPECT_EQ(text(tapline::image::find_color(view, 0xABCDEF, {6, 0, 10, 30})), "none");
  EXPECT_EQ(text(tapline::image::find_color(view, 0xABCDEF, {5, 1, 5, 30})), "none");  // x1 == x2
  // Colours beyond 24 bits never match, whatever the ignored byte holds.
  screen.pixels[0] |= 0xFF000000;
  EXPECT_EQ(text(tapline::image::find_color(view, 0xFF101010, {0, 0, 40, 30})), "none");
  EXPECT_EQ(text(tapline::image::find_color(view, -1, {0, 0, 40, 30})), "none");
  EXPECT_EQ(text(tapline::image::find_color(view, 0x101010, {0, 0, 40, 30})), "0,0");
}

TEST(FindColor, EveryPositionOfLongRows) {
  // Positions in and after each block of sixteen pixels, in a row of odd length.
  Image screen(301, 2, 0);
  for (int x = 0; x < 301; ++x) {
    screen.set(x, 1, 0x00FF00);
    const auto found = tapline::image::find_color(screen.view(), 0x00FF00, {0, 0, 301, 2});
    ASSERT_EQ(text(found), std::to_string(x) + ",1");
    screen.set(x, 1, 0);
  }
}

TEST(FindPattern, ExactSearchMatchesTheRulesAndTheirTexts) {
  std::mt19937 random(12345);
  int found_count = 0;
  for (int round = 0; round < 4000; ++round) {
    const int width = 4 + random() % 20, height = 3 + random() % 14;
    const int colors = 1 + random() % 3;
    Image screen(width, height);
    for (auto& p : screen.pixels) p = tapline::image::pixel_of(random() % colors * 0x404040);
    const int pw = 1 + random() % 4, ph = 1 + random() % 4;
    Image pattern(pw, ph);
    if (random() % 2 && pw <= width && ph <= height) {
      pattern = screen.crop(random() % (width - pw + 1), random() % (height - ph + 1), pw, ph);
      if (random() % 3 == 0) pattern.set(pw - 1, ph - 1, 0x777777);  // never compared
    } else {
      for (auto& p : pattern.pixels) p = tapline::image::pixel_of(random() % colors * 0x404040);
    }
    SearchRegion region{static_cast<int>(random() % width), static_cast<int>(random() % height),
                        static_cast<int>(random() % (width + 1)),
                        static_cast<int>(random() % (height + 1))};
    if (random() % 3 == 0) region = {0, 0, width - 1, height - 1};
    // The grab reaches the region's right and bottom edges.
    const int right = std::max(region.x2, 1), bottom = std::max(region.y2, 1);
    const Grab grab(screen, right, bottom, random() % 2);
    Reference reference{grab.image, pattern, {}};
    const Corner expected = reference.find_exact(region);
    const Corner found = tapline::image::find_pattern_exact(grab.view, pattern.view(), region);
    ASSERT_EQ(text(found), text(expected)) << "round " << round;
    ASSERT_EQ(progress_of(grab.view, pattern.pixels[0], region, found), reference.printed)
        << "round " << round;
    found_count += expected.has_value();
  }
  EXPECT_GT(found_count, 1000);
}

TEST(FindPattern, TolerantSearchMatchesTheRules) {
  std::mt19937 random(777);
  int found_count = 0;
  for (int round = 0; round < 4000; ++round) {
    const int width = 4 + random() % 24, height = 3 + random() % 14;
    Image screen(width, height);
    auto random_color = [&random] { return (random() % 3) * 0x0A0B0C; };
    for (auto& p : screen.pixels) p = tapline::image::pixel_of(random_color());
    const int pw = 1 + random() % 5, ph = 1 + random() % 5;
    Image pattern(pw, ph);
    for (auto& p : pattern.pixels) p = tapline::image::pixel_of(random_color());
    SearchRegion region{static_cast<int>(random() % width), static_cast<int>(random() % height),
                        static_cast<int>(random() % (width + 1)),
                        static_cast<int>(random() % (height + 1))};
    const Grab grab(screen, std::max(region.x2, 1), std::max(region.y2, 1), random() % 2);
    const int64_t budget = static_cast<int64_t>(random() % 6) - 1;
    const uint32_t tolerance = (random() % 2) ? 0 : static_cast<uint32_t>(random());
    Reference reference{grab.image, pattern, {}};
    const Corner expected = reference.find_tolerant(region, budget, tolerance);
    const Corner found =
        tapline::image::find_pattern_tolerant(grab.view, pattern.view(), region, budget, tolerance);
    ASSERT_EQ(text(found), text(expected)) << "round " << round;
    found_count += expected.has_value();
  }
  EXPECT_GT(found_count, 300);
}

// Screens of a few colours with noise make many candidates that fail after counting, so
// the search turns to its channel-sum bounds; they must never change a result: the first
// passing corner in row order, under the same budget rule, edges included.
TEST(FindPattern, TolerantSearchWithChannelSumBoundsMatchesTheRules) {
  std::mt19937 random(4242);
  auto random_color = [&random] { return static_cast<uint32_t>(random() & 0xFFFFFF); };
  auto nudged = [&random](uint32_t color, int spread) {
    uint32_t out = 0;
    for (int shift = 0; shift < 24; shift += 8) {
      const int channel = static_cast<int>((color >> shift) & 0xFF) +
                          static_cast<int>(random() % (2 * spread + 1)) - spread;
      out |= static_cast<uint32_t>(std::clamp(channel, 0, 255)) << shift;
    }
    return out;
  };
  int found_count = 0;
  for (int round = 0; round < 1500; ++round) {
    const int width = 8 + random() % 56, height = 6 + random() % 36;
    const uint32_t palette[3] = {random_color(), random_color(), random_color() & 0x0F0F0F};
    const int noise_percent = random() % 60, spread = 1 + random() % 40;
    Image screen(width, height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const uint32_t color = palette[random() % 4 == 0 ? 1 + random() % 2 : 0];
        screen.set(
            x, y, static_cast<int>(random() % 100) < noise_percent ? nudged(color, spread) : color);
      }
    const int pw = 2 + random() % std::min(12, width - 1),
              ph = 2 + random() % std::min(10, height - 1);
    Image pattern = screen.crop(random() % (width - pw + 1), random() % (height - ph + 1), pw, ph);
    for (auto& p : pattern.pixels)
      if (random() % 3 == 0)
        p = tapline::image::pixel_of(nudged(tapline::image::color_of(p), spread));
    pattern.set(0, 0, palette[0]);  // the anchor is common on the screen
    if (random() % 4 == 0) pattern.set(0, 0, 0), pattern.set(0, 1 % (ph - 1), palette[0]);
    SearchRegion region{static_cast<int>(random() % width), static_cast<int>(random() % height),
                        1 + static_cast<int>(random() % width),
                        1 + static_cast<int>(random() % height)};
    if (random() % 2) region = {0, 0, width, height};
    const Grab grab(screen, region.x2, region.y2, random() % 2);
    const int64_t compared = static_cast<int64_t>(pw - 1) * (ph - 1);
    const int64_t budget = random() % 3 == 0 ? static_cast<int64_t>(random() % (compared + 2)) - 1
                                             : static_cast<int64_t>(random() % (compared / 4 + 1));
    auto channel_tolerance = [&random]() -> uint32_t {
      const uint32_t choices[] = {0, static_cast<uint32_t>(1 + random() % 20), 255,
                                  static_cast<uint32_t>(random() % 256)};
      return choices[random() % 4];
    };
    const uint32_t tolerance =
        channel_tolerance() | channel_tolerance() << 8 | channel_tolerance() << 16;
    Reference reference{grab.image, pattern, {}};
    const Corner expected = reference.find_tolerant(region, budget, tolerance);
    const Corner found =
        tapline::image::find_pattern_tolerant(grab.view, pattern.view(), region, budget, tolerance);
    ASSERT_EQ(text(found), text(expected)) << "round " << round;
    found_count += expected.has_value();
  }
  EXPECT_GT(found_count, 300);
}

// A noisy screen with a pattern cut from it, for the cases below.
struct Scene {
  Image screen{64, 48};
  Image pattern;
  Scene(int px, int py, int pw, int ph) {
    std::mt19937 random(99);
    for (auto& p : screen.pixels) p = tapline::image::pixel_of(random() & 0xFFFFFF);
    pattern = screen.crop(px, py, pw, ph);
  }
};

TEST(FindPattern, CornersAtTheEdgesAndUncomparedPixels) {
  Scene scene(0, 20, 6, 5);
  const SearchRegion whole{0, 0, 63, 47};
  EXPECT_EQ(
      text(tapline::image::find_pattern_exact(scene.screen.view(), scene.pattern.view(), whole)),
      "0,20");
  // The pattern's last column and row may differ from the screen.
  scene.pattern.fill(5, 0, 1, 5, 0x123456);
  scene.pattern.fill(0, 4, 6, 1, 0x123456);
  EXPECT_EQ(
      text(tapline::image::find_pattern_exact(scene.screen.view(), scene.pattern.view(), whole)),
      "0,20");
  scene.pattern.set(4, 3, 0x123456);
  EXPECT_EQ(
      text(tapline::image::find_pattern_exact(scene.screen.view(), scene.pattern.view(), whole)),
      "none");

  // A pattern whose compared area ends at the grab's last column and row is found; one
  // more row of pattern leaves no room.
  Scene corner(57, 42, 6, 5);
  const Image grab = corner.screen.crop(0, 0, 63, 47);
  EXPECT_EQ(text(tapline::image::find_pattern_exact(grab.view(), corner.pattern.view(), whole)),
            "57,42");
  const Image taller = corner.screen.crop(57, 42, 6, 6);
  EXPECT_EQ(text(tapline::image::find_pattern_exact(grab.view(), taller.view(), whole)), "none");
}

TEST(FindPattern, OnePixelPatternsNeedOnlyTheirColourAndRoom) {
  Image screen(20, 10, 0);
  screen.set(3, 9, 0x55AA55);
  screen.set(7, 8, 0x55AA55);
  const Image grab = screen.crop(0, 0, 20, 10);
  Image dot(1, 1, 0x55AA55);
  EXPECT_EQ(text(tapline::image::find_pattern_exact(grab.view(), dot.view(), {0, 0, 20, 10})),
            "7,8");
  // Two rows high: (7, 8) has room, (3, 9) has not. One wide compares nothing.
  Image column(1, 2, 0x55AA55);
  column.set(0, 1, 0xFFFFFF);
  EXPECT_EQ(text(tapline::image::find_pattern_exact(grab.view(), column.view(), {0, 0, 20, 10})),
            "7,8");
  screen.set(7, 8, 0);
  const Image grab2 = screen.crop(0, 0, 20, 10);
  EXPECT_EQ(text(tapline::image::find_pattern_exact(grab2.view(), column.view(), {0, 0, 20, 10})),
            "none");
  EXPECT_EQ(text(tapline::image::find_pattern_exact(grab2.view(), dot.view(), {0, 0, 20, 10})),
            "3,9");
}

TEST(FindPattern, FlatScreenTextsListEveryCandidate) {
  // Every pixel has the anchor colour; the pattern differs at its last compared pixel.
  Image screen(5, 4, 0x202020);
  Image pattern(3, 3, 0x202020);
  pattern.set(1, 1, 0x303030);
  const SearchRegion region{0, 0, 4, 3};
  EXPECT_EQ(text(tapline::image::find_pattern_exact(screen.view(), pattern.view(), region)),
            "none");
  std::string expected = "FindFirstPoint0\n  GetBmpPixel\n y1=0\nCompare \nFindFirstPoint1 \n";
  for (int x = 1; x < 4; ++x) expected += "GetBmpPixel\n y1=0\n";
  expected += "GetBmpPixel\n y1=0\nFindFirstPoint2 \n";
  for (int y = 1; y < 3; ++y) {
    expected += "GetBmpPixel\n y1=" + std::to_string(y) + "\nFindFirstPoint3 ";
    for (int x = 1; x < 4; ++x) expected += "GetBmpPixel\n y1=" + std::to_string(y) + "\n";
    expected += "GetBmpPixel\n y1=" + std::to_string(y) + "\n";
  }
  expected += "GetBmpPixel\n ";
  EXPECT_EQ(progress_of(screen.view(), pattern.pixels[0], region, std::nullopt), expected);
}

TEST(FindPatternTolerant, ToleranceBoundariesPerChannel) {
  Scene scene(10, 10, 8, 6);
  const auto region = SearchRegion{0, 0, 63, 47};
  const uint32_t base = scene.screen.get(13, 12);
  for (int shift : {0, 8, 16}) {
    SCOPED_TRACE(shift);
    for (int delta : {16, -16, 17, -17}) {
      Image screen = scene.screen;
      const int channel = (base >> shift) & 0xFF;
      // Keep the changed channel within 0..255 by moving away from the nearer end.
      const int moved = channel + (channel + delta >= 0 && channel + delta <= 255 ? delta : -delta);
      screen.set(13, 12, (base & ~(0xFFu << shift)) | (static_cast<uint32_t>(moved) << shift));
      const uint32_t tolerance = 0x10u << shift;
      const auto found = tapline::image::find_pattern_tolerant(screen.view(), scene.pattern.view(),
                                                               region, 0, tolerance);
      EXPECT_EQ(text(found), std::abs(delta) == 16 ? "10,10" : "none") << delta;
      // The same difference in another channel is not covered by this channel's tolerance.
      const uint32_t other = 0x10u << ((shift + 8) % 24);
      EXPECT_EQ(text(tapline::image::find_pattern_tolerant(screen.view(), scene.pattern.view(),
                                                           region, 0, other)),
                "none");
    }
  }
}

TEST(FindPatternTolerant, BudgetBoundaries) {
  Scene scene(20, 5, 10, 10);
  Image screen = scene.screen;
  for (int i = 0; i < 7; ++i) screen.set(21 + i, 6 + i, 0x000001 ^ screen.get(21 + i, 6 + i));
  // The pattern's last row and column are not compared, so a change there costs nothing.
  screen.set(29, 14, 0x000001 ^ screen.get(29, 14));
  const SearchRegion region{0, 0, 63, 47};
  const auto find = [&](int64_t budget) {
    return text(tapline::image::find_pattern_tolerant(screen.view(), scene.pattern.view(), region,
                                                      budget, 0));
  };
  EXPECT_EQ(find(6), "none");
  EXPECT_EQ(find(7), "20,5");
  // The budget comes from the region's area: 63 * 47 * percent / 100, truncated.
  EXPECT_EQ(tapline::image::difference_budget(region, 1), 63 * 47 / 100);
  EXPECT_EQ(tapline::image::difference_budget({10, 10, 20, 15}, 13), 6);
  EXPECT_EQ(tapline::image::difference_budget({10, 10, 20, 15}, -13), -6);
  EXPECT_EQ(tapline::image::difference_budget({10, 10, 10, 15}, 50), 0);
}

TEST(FindPatternTolerant, BlackFirstPixelsMoveTheAnchorDown) {
  Image screen(30, 20, 0x404040);
  Image pattern(4, 4, 0x404040);
  pattern.set(0, 0, 0);
  pattern.set(0, 1, 0);
  pattern.set(0, 2, 0x00FF00);
  const auto anchor = tapline::image::tolerant_anchor(pattern.view());
  EXPECT_EQ(anchor.y, 2);
  EXPECT_EQ(tapline::image::color_of(anchor.pixel), 0x00FF00u);
  screen.paste(pattern, 5, 7);
  // The candidate is the green pixel at (5, 9); the corner is two rows above it.
  EXPECT_EQ(text(tapline::image::find_pattern_tolerant(screen.view(), pattern.view(),
                                                       {0, 0, 29, 19}, 0, 0)),
            "5,7");
  // Green only on rows at the top: the corner would lie above the grab, whose rows there
  // all differ; a budget that covers them lets it pass.
  Image top(30, 20, 0x404040);
  top.set(3, 0, 0x00FF00);
  EXPECT_EQ(
      text(tapline::image::find_pattern_tolerant(top.view(), pattern.view(), {0, 0, 29, 19}, 5, 0)),
      "none");
  EXPECT_EQ(text(tapline::image::find_pattern_tolerant(top.view(), pattern.view(), {0, 0, 29, 19},
                                                       6, 0x404040)),
            "3,-2");
  // No first pixel above 0 in the examined rows: the anchor is the top-left pixel.
  Image dark(3, 3, 0);
  dark.set(0, 2, 0xFFFFFF);  // the last row is not examined
  EXPECT_EQ(tapline::image::tolerant_anchor(dark.view()).y, 0);
  EXPECT_EQ(tapline::image::tolerant_anchor(dark.view()).pixel, 0u);
}

}  // namespace
