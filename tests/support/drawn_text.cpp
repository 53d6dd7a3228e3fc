#include "drawn_text.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>

namespace tapline::testing {
namespace {

// The code points of UTF-8 text.
std::vector<char32_t> code_points(const std::string& text) {
  std::vector<char32_t> points;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length && i + k < text.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    points.push_back(code);
    i += length;
  }
  return points;
}

uint32_t blend(uint32_t under, uint32_t over, int alpha) {
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const int a = (under >> shift) & 0xFF, b = (over >> shift) & 0xFF;
    out |= static_cast<uint32_t>((a * (255 - alpha) + b * alpha) / 255) << shift;
  }
  return out;
}

}  // namespace

std::vector<InkBox> draw_words(Image& image, const char* font_path, int pixel_size, int left,
                               int top, const std::vector<std::string>& words, uint32_t color) {
  std::vector<InkBox> boxes;
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  if (FT_Init_FreeType(&library) != 0) return boxes;
  if (FT_New_Face(library, font_path, 0, &face) != 0) {
    FT_Done_FreeType(library);
    return boxes;
  }
  FT_Set_Pixel_Sizes(face, 0, pixel_size);
  const int baseline = top + static_cast<int>(face->size->metrics.ascender >> 6);
  int pen = left;
  for (const std::string& word : words) {
    InkBox box{image.width, image.height, 0, 0};
    int right = 0, bottom = 0;
    for (char32_t code : code_points(word)) {
      if (FT_Load_Char(face, code, FT_LOAD_RENDER) != 0) continue;
      const FT_GlyphSlot glyph = face->glyph;
      const FT_Bitmap& bitmap = glyph->bitmap;
      for (unsigned row = 0; row < bitmap.rows; ++row) {
        for (unsigned column = 0; column < bitmap.width; ++column) {
          const int alpha = bitmap.buffer[row * bitmap.pitch + column];
          const int x = pen + glyph->bitmap_left + static_cast<int>(column);
          const int y = baseline - glyph->bitmap_top + static_cast<int>(row);
          if (alpha == 0 || x < 0 || y < 0 || x >= image.width || y >= image.height) continue;
          image.set(x, y, blend(image.get(x, y), color, alpha));
          box.x = std::min(box.x, x), box.y = std::min(box.y, y);
          right = std::max(right, x + 1), bottom = std::max(bottom, y + 1);
        }
      }
      pen += static_cast<int>(glyph->advance.x >> 6);
    }
    box.width = std::max(right - box.x, 0);
    box.height = std::max(bottom - box.y, 0);
    boxes.push_back(box);
    if (FT_Load_Char(face, ' ', FT_LOAD_DEFAULT) == 0)
      pen += static_cast<int>(face->glyph->advance.x >> 6);
  }
  FT_Done_Face(face);
  FT_Done_FreeType(library);
  return boxes;
}

}  // namespace tapline::testing
