// PNG files of pictures, through libpng.
#pragma once

#include <cstdio>
#include <string>

#include "image/search_picture.h"

namespace tapline::image {

// Writes the picture as an 8-bit RGB PNG file, replacing one of that name. False with the
// reason in `error` when it cannot.
bool write_png(const char* path, const RgbPicture& picture, std::string& error);
// The same into a file the caller opened and closes.
bool write_png(std::FILE* file, const RgbPicture& picture, std::string& error);

}  // namespace tapline::image
