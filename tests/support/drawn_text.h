// Words drawn into test pictures with a font of Debian's font packages (FreeType), for the
// screen text tests and benchmarks.
#pragma once

#include <string>
#include <vector>

#include "screen_images.h"

namespace tapline::testing {

constexpr const char* kLatinFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* kChineseFont = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

// Where a drawn word's ink lies.
struct InkBox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Draws the words of one line (UTF-8), one blank's width apart, `pixel_size` pixels per
// em, the line's top at `top` and its first word at `left`, blending `color` over what is
// there. The ink box of each word; empty when the font cannot be opened.
std::vector<InkBox> draw_words(Image& image, const char* font_path, int pixel_size, int left,
                               int top, const std::vector<std::string>& words, uint32_t color);

}  // namespace tapline::testing
