// Helpers shared by the screen tests: images in memory, BMP files of every kind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/pixels.h"

namespace tapline::testing {

using tapline::image::Pixel;
using tapline::image::PixelView;

// A picture held top-down, written and read by colour value (R + 256 G + 65536 B).
struct Image {
  int width = 0;
  int height = 0;
  std::vector<Pixel> pixels;

  Image() = default;
  Image(int w, int h, uint32_t color = 0)
      : width(w), height(h), pixels(static_cast<size_t>(w) * h, tapline::image::pixel_of(color)) {}

  void set(int x, int y, uint32_t color) {
    pixels[static_cast<size_t>(y) * width + x] = tapline::image::pixel_of(color);
  }
  uint32_t get(int x, int y) const {
    return tapline::image::color_of(pixels[static_cast<size_t>(y) * width + x]);
  }
  void fill(int x, int y, int w, int h, uint32_t color) {
    for (int j = y; j < y + h; ++j)
      for (int i = x; i < x + w; ++i) set(i, j, color);
  }
  // Copies `part` with its top-left corner at (x, y).
  void paste(const Image& part, int x, int y) {
    for (int j = 0; j < part.height; ++j)
      for (int i = 0; i < part.width; ++i) set(x + i, y + j, part.get(i, j));
  }
  Image crop(int x, int y, int w, int h) const {
    Image out(w, h);
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) out.set(i, j, get(x + i, y + j));
    return out;
  }
  PixelView view() const { return {pixels.data(), width, width, height}; }
};

inline void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(v & 0xFF), out.push_back((v >> 8) & 0xFF);
}
inline void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF), put16(out, v >> 16);
}

// How a test BMP file is laid out.
struct BmpLayout {
  int bits = 24;  // 1, 4, 8, 16, 24 or 32
  bool top_down = false;
  bool bit_fields = false;        // 16 and 32 bits: masks after a 40-byte header
  uint32_t masks[3] = {0, 0, 0};  // red, green, blue for bit fields
  bool core_header = false;       // the 12-byte header with 3-byte colour table entries
};

// Encodes `image` as a BMP file. For 1, 4 and 8 bits, the colour table is built from the
// image's colours (which must fit); for 16 bits without fields, 5 bits per channel.
inline std::vector<uint8_t> make_bmp(const Image& image, const BmpLayout& layout = {}) {
  std::vector<uint32_t> table;
  auto index_of = [&table](uint32_t color) {
    for (size_t i = 0; i < table.size(); ++i)
      if (table[i] == color) return static_cast<uint32_t>(i);
    table.push_back(color);
    return static_cast<uint32_t>(table.size() - 1);
  };
  const bool indexed = layout.bits <= 8;
  std::vector<std::vector<uint32_t>> indices(image.height, std::vector<uint32_t>(image.width));
  if (indexed)
    for (int y = 0; y < image.height; ++y)
      for (int x = 0; x < image.width; ++x) indices[y][x] = index_of(image.get(x, y));
  const uint32_t entries = indexed ? (1u << layout.bits) : 0;
  const uint32_t header = layout.core_header ? 12 : 40;
  const uint32_t entry_size = layout.core_header ? 3 : 4;
  const uint32_t fields = layout.bit_fields ? 12 : 0;
  const uint32_t offset = 14 + header + fields + entries * entry_size;
  const uint32_t row_bytes = (image.width * layout.bits + 31) / 32 * 4;

  std::vector<uint8_t> out;
  out.push_back('B'), out.push_back('M');
  put32(out, offset + row_bytes * image.height), put32(out, 0), put32(out, offset);
  if (layout.core_header) {
    put32(out, 12), put16(out, image.width), put16(out, image.height), put16(out, 1);
    put16(out, layout.bits);
  } else {
    put32(out, 40), put32(out, image.width);
    put32(out, static_cast<uint32_t>(layout.top_down ? -image.height : image.height));
    put16(out, 1), put16(out, layout.bits), put32(out, layout.bit_fields ? 3 : 0);
    put32(out, row_bytes * image.height), put32(out, 0), put32(out, 0);
    put32(out, indexed ? entries : 0), put32(out, 0);
  }
  if (layout.bit_fields)
    for (uint32_t mask : layout.masks) put32(out, mask);
  for (uint32_t i = 0; i < entries; ++i) {
    const uint32_t color = i < table.size() ? table[i] : 0;
    out.push_back((color >> 16) & 0xFF), out.push_back((color >> 8) & 0xFF);
    out.push_back(color & 0xFF);
    if (!layout.core_header) out.push_back(0);
  }
  auto pack = [](uint32_t color, const uint32_t* masks) {
    uint32_t raw = 0;
    const uint32_t channels[3] = {color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF};
    for (int c = 0; c < 3; ++c) {
      const uint32_t mask = masks[c];
      if (mask == 0) continue;
      const int shift = __builtin_ctz(mask), bits = __builtin_popcount(mask);
      const uint32_t v = bits >= 8 ? channels[c] << (bits - 8) : channels[c] >> (8 - bits);
      raw |= (v << shift) & mask;
    }
    return raw;
  };
  const uint32_t plain16[3] = {0x7C00, 0x03E0, 0x001F};
  const uint32_t plain32[3] = {0xFF0000, 0xFF00, 0xFF};
  const uint32_t* masks = layout.bit_fields ? layout.masks : layout.bits == 16 ? plain16 : plain32;
  for (int r = 0; r < image.height; ++r) {
    const int y = layout.top_down && !layout.core_header ? r : image.height - 1 - r;
    std::vector<uint8_t> row(row_bytes, 0);
    for (int x = 0; x < image.width; ++x) {
      const uint32_t color = image.get(x, y);
      switch (layout.bits) {
        case 1:
        case 4:
        case 8: {
          const int per_byte = 8 / layout.bits;
          const int shift = 8 - layout.bits * (1 + x % per_byte);
          row[x / per_byte] |= static_cast<uint8_t>(indices[y][x] << shift);
          break;
        }
        case 16: {
          const uint32_t raw = pack(color, masks);
          row[2 * x] = raw & 0xFF, row[2 * x + 1] = (raw >> 8) & 0xFF;
          break;
        }
        case 24:
          row[3 * x] = (color >> 16) & 0xFF, row[3 * x + 1] = (color >> 8) & 0xFF;
          row[3 * x + 2] = color & 0xFF;
          break;
        case 32: {
          const uint32_t raw = pack(color, masks) | (layout.bit_fields ? 0 : 0xAB000000);
          for (int b = 0; b < 4; ++b) row[4 * x + b] = (raw >> (8 * b)) & 0xFF;
          break;
        }
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// True when `printed` is `before` followed by one timing line "耗时<digits> ms\n".
inline bool ends_with_timing(const std::string& printed, const std::string& before = "") {
  const std::string head = before + "耗时", tail = " ms\n";
  if (printed.size() <= head.size() + tail.size() || printed.compare(0, head.size(), head) != 0 ||
      printed.compare(printed.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  const std::string digits =
      printed.substr(head.size(), printed.size() - head.size() - tail.size());
  return digits.find_first_not_of("0123456789") == std::string::npos;
}

// Quotes a path for a Lua chunk.
inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace tapline::testing
