#include "image/png.h"

#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace tapline::image {
namespace {

// libpng reports errors by longjmp; the message is kept for the caller.
void on_error(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  *error = message;
  png_longjmp(png, 1);
}
void on_warning(png_structp, png_const_charp) {}

}  // namespace

// Everything libpng touches between setjmp and a longjmp is plain data, so a jump leaks
// nothing; the caller closes the file.
bool write_png(std::FILE* file, const RgbPicture& picture, std::string& error) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, on_error, on_warning);
  if (png == nullptr) {
    error = "out of memory";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    if (error.empty()) error = "out of memory";
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  // Pictures for looking at while debugging: fast compression matters more than size, and
  // runs of one colour are what screens repeat most.
  png_set_compression_level(png, 1);
  png_set_compression_strategy(png, Z_RLE);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width),
               static_cast<png_uint_32>(picture.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  for (int y = 0; y < picture.height; ++y) {
    png_write_row(png, picture.bytes.data() + static_cast<size_t>(y) * picture.width * 3);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool write_png(const char* path, const RgbPicture& picture, std::string& error) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  bool written = write_png(file, picture, error);
  if (std::fclose(file) != 0 && written) {
    error = std::strerror(errno);
    written = false;
  }
  return written;
}

}  // namespace tapline::image
