#include "image/search_picture.h"

#include <algorithm>

namespace tapline::image {
namespace {

constexpr int kGap = 8;
constexpr ColorValue kBackground = 0x303030;
constexpr ColorValue kFoundColor = 0x00FF00;
constexpr ColorValue kMissColor = 0x0000FF;       // red: R is the low byte
constexpr ColorValue kDifferingColor = 0xFF00FF;  // magenta
constexpr ColorValue kWordColor = 0xFF8000;       // blue

class Canvas {
 public:
  Canvas(int width, int height) {
    picture_.width = width;
    picture_.height = height;
    picture_.bytes.resize(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < picture_.bytes.size(); i += 3) put(i, kBackground);
  }

  void set(int x, int y, ColorValue color) {
    if (x < 0 || y < 0 || x >= picture_.width || y >= picture_.height) return;
    put((static_cast<size_t>(y) * picture_.width + x) * 3, color);
  }

  void copy(const PixelView& view, int from_x, int from_y, int to_x, int to_y) {
    for (int y = from_y; y < view.height; ++y) {
      const Pixel* row = view.row(y);
      for (int x = from_x; x < view.width; ++x)
        set(to_x + x - from_x, to_y + y - from_y, color_of(row[x]));
    }
  }

  RgbPicture take() { return std::move(picture_); }

 private:
  void put(size_t at, ColorValue color) {
    picture_.bytes[at] = color & 0xFF;
    picture_.bytes[at + 1] = (color >> 8) & 0xFF;
    picture_.bytes[at + 2] = (color >> 16) & 0xFF;
  }

  RgbPicture picture_;
};

}  // namespace

RgbPicture compose_search_picture(const PixelView& grab, SearchRegion region,
                                  const PixelView& pattern, const SearchMarks& marks) {
  const int x1 = std::clamp(region.x1, 0, std::max(grab.width, 0));
  const int y1 = std::clamp(region.y1, 0, std::max(grab.height, 0));
  const int shown_width = std::max(grab.width - x1, 0),
            shown_height = std::max(grab.height - y1, 0);
  const int pattern_x = pattern.empty() ? shown_width : shown_width + kGap;
  const int width = std::max(pattern.empty() ? shown_width : pattern_x + pattern.width, 1);
  const int height = std::max({shown_height, pattern.empty() ? 0 : pattern.height, 1});
  Canvas canvas(width, height);
  if (shown_width > 0 && shown_height > 0) canvas.copy(grab, x1, y1, 0, 0);
  if (!pattern.empty()) canvas.copy(pattern, 0, 0, pattern_x, 0);
  // Marks stay on the grab's side of the picture.
  auto mark = [&](int x, int y, ColorValue color) {
    if (x - x1 < shown_width) canvas.set(x - x1, y - y1, color);
  };
  // A one-pixel frame just outside the marked area.
  auto outline = [&](Point at, ColorValue color, Point size) {
    for (int i = at.x - 1; i <= at.x + size.x; ++i)
      mark(i, at.y - 1, color), mark(i, at.y + size.y, color);
    for (int j = at.y - 1; j <= at.y + size.y; ++j)
      mark(at.x - 1, j, color), mark(at.x + size.x, j, color);
  };
  for (const Box& word : marks.words) outline(word.corner, kWordColor, word.size);
  if (marks.miss) {
    if (!pattern.empty()) {
      for_each_differing(grab, pattern, *marks.miss, marks.tolerance,
                         [&](int x, int y) { mark(x, y, kDifferingColor); });
    }
    outline(*marks.miss, kMissColor, marks.size);
  }
  if (marks.found) outline(*marks.found, kFoundColor, marks.size);
  return canvas.take();
}

}  // namespace tapline::image
