// The pixel searches behind FindColor, FindBmp and FindBmpEx, over pixels where they lie
// (rows in either order, see PixelView).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "image/pixels.h"

namespace tapline::image {

// Columns x1 .. x2 - 1 of rows y1 .. y2 - 1.
struct SearchRegion {
  int x1 = 0;
  int y1 = 0;
  int x2 = 0;
  int y2 = 0;
};

// Index of the first of `count` pixels whose colour equals `target` (a pixel with its
// ignored byte 0), or `count`.
size_t find_pixel(const Pixel* pixels, size_t count, Pixel target);
// Index of the first pixel whose colour differs from `target`, or `count`.
size_t find_other_pixel(const Pixel* pixels, size_t count, Pixel target);

// The first pixel of `color` in the region, rows top to bottom, each row left to right.
// The region must lie within `grab`.
std::optional<Point> find_color(const PixelView& grab, int64_t color, SearchRegion region);

// The exact search: the first corner of the region, in row order, whose grab pixel has the
// colour of the pattern's top-left pixel, that leaves the pattern's height below it in the
// grab, and where every pattern pixel but the last column and row equals its grab pixel.
std::optional<Point> find_pattern_exact(const PixelView& grab, const PixelView& pattern,
                                        SearchRegion region);

// Text written in large blocks to a stream, for the progress texts of the exact search.
class BufferedText {
 public:
  explicit BufferedText(std::FILE* stream);
  ~BufferedText();
  BufferedText(const BufferedText&) = delete;
  BufferedText& operator=(const BufferedText&) = delete;

  void append(const char* text, size_t length);
  void flush();

 private:
  std::FILE* stream_;
  std::vector<char> buffer_;
  size_t used_ = 0;
};

// The progress texts the exact search writes on its way to `result` (its result, or none):
// "FindFirstPoint0\n  ", then for each candidate scan "GetBmpPixel\n " and "y1=%d\n" per
// row, "Compare \n", "FindFirstPoint1 \n", "FindFirstPoint2 \n" and "FindFirstPoint3 " as
// the candidates of the anchor colour lead it through its steps.
void write_exact_progress(const PixelView& grab, Pixel anchor, SearchRegion region,
                          std::optional<Point> result, BufferedText& out);

// The tolerant search's anchor: the first pixel of the first pattern row (of all but the
// last) whose colour is above 0; the top-left pixel when there is none.
struct PatternAnchor {
  int x = 0;
  int y = 0;
  Pixel pixel = 0;
};
PatternAnchor tolerant_anchor(const PixelView& pattern);

// How many differing pixels a tolerant comparison may count: the region's area times
// `percent` / 100, truncated toward zero.
int64_t difference_budget(SearchRegion region, int64_t percent);

// The tolerant search: corners whose anchor pixel has exactly the anchor's colour, in row
// order of that pixel; the first where at most `budget` compared pixels differ by more than
// `tolerance` (bits 0-7 red, 8-15 green, 16-23 blue) in some channel.
std::optional<Point> find_pattern_tolerant(const PixelView& grab, const PixelView& pattern,
                                           SearchRegion region, int64_t budget, uint32_t tolerance);

// What a pattern search that found nothing came closest to: among the corners keyed on
// `anchor` (grab pixels of its colour in the region, rows first) that leave the pattern's
// height below them, the one with the fewest compared pixels differing by more than
// `tolerance` (as in find_pattern_tolerant; 0 for the exact search). The first
// `max_candidates` candidates are weighed; `capped` says when there were more.
struct NearMiss {
  Point corner;
  int64_t differing = 0;
  int64_t compared = 0;
  bool capped = false;
};
std::optional<NearMiss> nearest_miss(const PixelView& grab, const PixelView& pattern,
                                     SearchRegion region, PatternAnchor anchor, uint32_t tolerance,
                                     int64_t max_candidates);

// Calls `mark(x, y)` with the grab position of each compared pattern pixel at `corner`
// that differs from the grab by more than `tolerance`.
template <typename Mark>
void for_each_differing(const PixelView& grab, const PixelView& pattern, Point corner,
                        uint32_t tolerance, Mark mark);

// The pixel of the region whose colour is nearest `color` (the smallest largest channel
// difference; the first in row order among equals).
std::optional<Point> nearest_color(const PixelView& grab, int64_t color, SearchRegion region);

// True when the grab pixel and pattern pixel differ by more than `tolerance` in some
// channel; a grab position outside the grab always differs.
inline bool differs(const PixelView& grab, int x, int y, Pixel pattern_pixel, uint32_t tolerance) {
  if (x < 0 || y < 0 || x >= grab.width || y >= grab.height) return true;
  const ColorValue a = color_of(grab.row(y)[x]), b = color_of(pattern_pixel);
  for (int shift = 0; shift < 24; shift += 8) {
    const int difference =
        static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if ((difference < 0 ? -difference : difference) > static_cast<int>((tolerance >> shift) & 0xFF))
      return true;
  }
  return false;
}

template <typename Mark>
void for_each_differing(const PixelView& grab, const PixelView& pattern, Point corner,
                        uint32_t tolerance, Mark mark) {
  for (int i = 0; i + 1 < pattern.height; ++i) {
    const Pixel* row = pattern.row(i);
    for (int j = 0; j + 1 < pattern.width; ++j) {
      if (differs(grab, corner.x + j, corner.y + i, row[j], tolerance))
        mark(corner.x + j, corner.y + i);
    }
  }
}

}  // namespace tapline::image
