// BMP files as FindBmp and FindBmpEx read them: any bytes. A picture is either refused
// with a reason or decoded whole, with exactly width x height pixels.
#include <cstdlib>
#include <string>

#include "image/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tapline::image::Bitmap picture;
  std::string error;
  if (tapline::image::decode_bmp(data, size, picture, error)) {
    if (picture.width <= 0 || picture.height <= 0) std::abort();
    if (picture.pixels.size() != static_cast<size_t>(picture.width) * picture.height) std::abort();
    const tapline::image::PixelView view = picture.view();
    // Every row of the view lies inside the pixels.
    volatile uint32_t sum = 0;
    for (int y = 0; y < view.height; ++y) sum = sum + view.row(y)[view.width - 1];
  } else if (error.empty()) {
    std::abort();  // a refusal always says why
  }
  return 0;
}
