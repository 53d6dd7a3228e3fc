// BMP pictures: reading any uncompressed or bit-field Windows bitmap into 32-bit pixels,
// and writing 24-bit bottom-up files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/pixels.h"

namespace tapline::image {

// A decoded picture. Rows are kept in the file's own order; view() gives them top-down.
struct Bitmap {
  int width = 0;
  int height = 0;
  bool bottom_up = false;
  std::vector<Pixel> pixels;  // ignored byte 0

  PixelView view() const;
};

// Largest decoded picture accepted: anything whose pixels would need more is refused.
constexpr uint64_t kMaxBitmapBytes = 256ull << 20;

// Decodes a BMP file held in memory: 1, 4 and 8 bits per pixel with a colour table; 16
// and 32 bits plain or with bit fields; 24 bits; rows bottom-up or top-down. Anything
// malformed, compressed or absurd is refused with a reason and no partial result.
bool decode_bmp(const uint8_t* data, size_t size, Bitmap& out, std::string& error);
// Reads and decodes a BMP file.
bool read_bmp(const char* path, Bitmap& out, std::string& error);

// The bytes of a 24-bit bottom-up BMP file (54-byte headers, no colour table, rows padded
// to 4 bytes) holding `image`, appended to `out` after clearing it.
void encode_bmp24(const PixelView& image, std::vector<uint8_t>& out);
}  // namespace tapline::image
