// The grey picture the text engine reads: a region of a grab scaled up, its text made dark
// on light wherever it was light on dark.
#pragma once

#include <cstdint>
#include <vector>

#include "image/search.h"

namespace tapline::image {

struct GreyPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> levels;  // rows top-down, one byte a pixel, 255 white
  std::vector<uint32_t> sums;   // working space, kept so that reuse allocates nothing
};

// Makes `out` the region of `grab` (which must hold it) in grey, `scale` times as wide and
// tall, each new pixel weighed from its four nearest old ones so that letters keep smooth
// edges; then inverts each pixel whose surroundings (the square `2 * radius + 1` pixels
// wide around it, in scaled pixels) are more dark than light, so that light text on a dark
// panel reads like the dark text on light around it.
void make_text_picture(const PixelView& grab, SearchRegion region, int scale, int radius,
                       GreyPicture& out);

}  // namespace tapline::image
