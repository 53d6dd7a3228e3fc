// A picture of what a search saw: the searched part of the grab with the result or the
// nearest miss marked, and the pattern beside it. Pictures, not files: png.h writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "image/search.h"

namespace tapline::image {

// 8-bit red, green, blue per pixel, rows top-down.
struct RgbPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bytes;
};

// A rectangle of the grab: its top-left corner and size.
struct Box {
  Point corner;
  Point size;
};

struct SearchMarks {
  std::optional<Point> found;  // outlined in green
  std::optional<Point> miss;   // outlined in red
  Point size{1, 1};            // the outlined area: the pattern, the words found, or one pixel
  uint32_t tolerance = 0;      // for marking the miss's differing pixels
  std::vector<Box> words;      // the text searches: each word read, outlined in blue
};

// Columns region.x1 .. grab.width - 1 and rows region.y1 .. grab.height - 1 of the grab
// (all the search read), then a gap and the pattern when there is one. A miss against a
// pattern has its differing pixels painted magenta.
RgbPicture compose_search_picture(const PixelView& grab, SearchRegion region,
                                  const PixelView& pattern, const SearchMarks& marks);

}  // namespace tapline::image
