#include "image/bmp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image/channel_mask.h"

namespace tapline::image {
namespace {

constexpr size_t kFileHeaderSize = 14;
// Larger files are refused before reading: no accepted picture needs more.
constexpr uint64_t kMaxFileBytes = kMaxBitmapBytes + (1u << 20);

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool fail(std::string& error, const char* reason) {
  error = reason;
  return false;
}

}  // namespace

PixelView Bitmap::view() const {
  PixelView view;
  view.width = width;
  view.height = height;
  if (pixels.empty()) return view;
  if (bottom_up) {
    view.top = pixels.data() + static_cast<size_t>(height - 1) * width;
    view.row_step = -static_cast<ptrdiff_t>(width);
  } else {
    view.top = pixels.data();
    view.row_step = width;
  }
  return view;
}

bool decode_bmp(const uint8_t* data, size_t size, Bitmap& out, std::string& error) {
  out = Bitmap{};
  if (size < kFileHeaderSize + 4) return fail(error, "file too short for a BMP header");
  if (data[0] != 'B' || data[1] != 'M') return fail(error, "not a BMP file");
  const uint32_t pixel_offset = le32(data + 10);
  const uint8_t* info = data + kFileHeaderSize;
  const uint32_t info_size = le32(info);
  if (info_size != 12 && info_size != 40 && info_size != 52 && info_size != 56 &&
      info_size != 108 && info_size != 124)
    return fail(error, "unknown BMP header kind");
  if (size < kFileHeaderSize + info_size) return fail(error, "BMP header truncated");

  int64_t width = 0, height = 0;
  uint32_t bits_per_pixel = 0, compression = 0, colors_used = 0, planes = 0;
  size_t palette_entry = 4;
  if (info_size == 12) {
    width = le16(info + 4);
    height = le16(info + 6);
    planes = le16(info + 8);
    bits_per_pixel = le16(info + 10);
    palette_entry = 3;
  } else {
    width = static_cast<int32_t>(le32(info + 4));
    height = static_cast<int32_t>(le32(info + 8));
    planes = le16(info + 12);
    bits_per_pixel = le16(info + 14);
    compression = le32(info + 16);
    colors_used = le32(info + 32);
  }
  if (planes != 1) return fail(error, "BMP plane count is not 1");
  const bool top_down = height < 0;
  height = top_down ? -height : height;
  if (width <= 0 || height <= 0) return fail(error, "BMP picture has no pixels");
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * sizeof(Pixel) >
      kMaxBitmapBytes)
    return fail(error, "BMP picture too large");

  ChannelMasks fields;
  size_t masks_end = kFileHeaderSize + info_size;
  if (compression == 3 || compression == 6) {  // bit fields (with alpha for 6)
    if (bits_per_pixel != 16 && bits_per_pixel != 32)
      return fail(error, "BMP bit fields need 16 or 32 bits per pixel");
    const uint8_t* masks = info + 40;
    if (info_size == 40) {
      masks_end += compression == 6 ? 16 : 12;
      if (size < masks_end) return fail(error, "BMP bit fields truncated");
    }
    const uint64_t limit = bits_per_pixel == 16 ? 0xFFFF : 0xFFFFFFFF;
    const uint32_t red = le32(masks), green = le32(masks + 4), blue = le32(masks + 8);
    if (red > limit || green > limit || blue > limit || !fields.set(red, green, blue))
      return fail(error, "BMP bit fields malformed");
  } else if (compression != 0) {
    return fail(error, "compressed BMP pictures are not supported");
  } else if (bits_per_pixel == 16) {
    fields.set(0x7C00, 0x03E0, 0x001F);
  } else if (bits_per_pixel == 32) {
    fields.set(0xFF0000, 0xFF00, 0xFF);
  }

  Pixel palette[256] = {};
  if (bits_per_pixel == 1 || bits_per_pixel == 4 || bits_per_pixel == 8) {
    const uint32_t full = 1u << bits_per_pixel;
    const uint32_t entries = (colors_used == 0 || colors_used > full) ? full : colors_used;
    const size_t palette_start = masks_end;
    if (palette_start + static_cast<uint64_t>(entries) * palette_entry > size)
      return fail(error, "BMP colour table truncated");
    for (uint32_t i = 0; i < entries; ++i) {
      const uint8_t* entry = data + palette_start + i * palette_entry;
      palette[i] = entry[0] | (entry[1] << 8) | (entry[2] << 16);
    }
  } else if (bits_per_pixel != 16 && bits_per_pixel != 24 && bits_per_pixel != 32) {
    return fail(error, "unsupported BMP bits per pixel");
  }

  const uint64_t row_bits = static_cast<uint64_t>(width) * bits_per_pixel;
  const uint64_t row_bytes = (row_bits + 31) / 32 * 4;
  // The last row may lack its padding; everything else must lie within the file.
  const uint64_t array_end =
      pixel_offset + row_bytes * static_cast<uint64_t>(height - 1) + (row_bits + 7) / 8;
  if (pixel_offset < masks_end || array_end > size)
    return fail(error, "BMP pixel array lies beyond the end of the file");

  out.width = static_cast<int>(width);
  out.height = static_cast<int>(height);
  out.bottom_up = !top_down;
  out.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  const bool plain32 = bits_per_pixel == 32 && fields.is_plain_bgr();
  for (int64_t r = 0; r < height; ++r) {
    const uint8_t* src = data + pixel_offset + r * row_bytes;
    Pixel* dst = out.pixels.data() + r * width;
    switch (bits_per_pixel) {
      case 1:
      case 4:
      case 8: {
        const uint32_t per_byte = 8 / bits_per_pixel;
        const uint32_t index_mask = (1u << bits_per_pixel) - 1;
        for (int64_t x = 0; x < width; ++x) {
          const uint32_t byte = src[x / per_byte];
          const uint32_t shift = 8 - bits_per_pixel * (1 + x % per_byte);
          dst[x] = palette[(byte >> shift) & index_mask];
        }
        break;
      }
      case 16:
        for (int64_t x = 0; x < width; ++x) dst[x] = fields.pixel(le16(src + 2 * x));
        break;
      case 24:
        for (int64_t x = 0; x < width; ++x)
          dst[x] = src[3 * x] | (src[3 * x + 1] << 8) | (src[3 * x + 2] << 16);
        break;
      case 32:
        if (plain32) {
          for (int64_t x = 0; x < width; ++x) dst[x] = le32(src + 4 * x) & kPixelColorMask;
        } else {
          for (int64_t x = 0; x < width; ++x) dst[x] = fields.pixel(le32(src + 4 * x));
        }
        break;
    }
  }
  return true;
}

bool read_bmp(const char* path, Bitmap& out, std::string& error) {
  out = Bitmap{};
  // Non-blocking so that a FIFO in the path's place cannot hang the caller.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(error, std::strerror(errno));
  struct stat info {};
  std::vector<uint8_t> bytes;
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok) {
    error = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    ok = fail(error, "not a regular file");
  } else if (static_cast<uint64_t>(info.st_size) > kMaxFileBytes) {
    ok = fail(error, "file too large for a BMP picture");
  } else {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (got > 0) {
        done += static_cast<size_t>(got);
      } else if (got == 0) {
        bytes.resize(done);  // the file shrank while being read
        break;
      } else if (errno != EINTR) {
        ok = fail(error, std::strerror(errno));
      }
    }
  }
  ::close(fd);
  return ok && decode_bmp(bytes.data(), bytes.size(), out, error);
}

void encode_bmp24(const PixelView& image, std::vector<uint8_t>& out) {
  const uint32_t width = image.empty() ? 0 : static_cast<uint32_t>(image.width);
  const uint32_t height = image.empty() ? 0 : static_cast<uint32_t>(image.height);
  const uint32_t row_bytes = (width * 3 + 3) / 4 * 4;
  const uint32_t array_bytes = row_bytes * height;
  const uint32_t offset = kFileHeaderSize + 40;
  out.assign(offset + static_cast<size_t>(array_bytes), 0);
  uint8_t* p = out.data();
  auto put16 = [&p](uint32_t v) {
    p[0] = v & 0xFF, p[1] = (v >> 8) & 0xFF;
    p += 2;
  };
  auto put32 = [&p](uint32_t v) {
    p[0] = v & 0xFF, p[1] = (v >> 8) & 0xFF, p[2] = (v >> 16) & 0xFF, p[3] = (v >> 24) & 0xFF;
    p += 4;
  };
  *p++ = 'B', *p++ = 'M';
  put32(offset + array_bytes), put32(0), put32(offset);
  put32(40), put32(width), put32(height), put16(1), put16(24), put32(0), put32(array_bytes);
  put32(0), put32(0), put32(0), put32(0);
  for (uint32_t r = 0; r < height; ++r) {
    const Pixel* src = image.row(static_cast<int>(height - 1 - r));
    uint8_t* dst = out.data() + offset + static_cast<size_t>(r) * row_bytes;
    for (uint32_t x = 0; x < width; ++x) {
      const Pixel v = src[x];
      dst[3 * x] = v & 0xFF, dst[3 * x + 1] = (v >> 8) & 0xFF, dst[3 * x + 2] = (v >> 16) & 0xFF;
    }
  }
}

}  // namespace tapline::image
