#include <algorithm>
#include <string>

#include "image/bmp.h"
#include "platform/screen_source.h"

namespace tapline::platform {
namespace {

using image::Bitmap;
using image::color_of;
using image::read_bmp;

class PictureScreen final : public ScreenSource {
 public:
  explicit PictureScreen(Bitmap picture) : picture_(std::move(picture)), view_(picture_.view()) {}

  ScreenSize size() override { return {picture_.width, picture_.height}; }
  std::optional<ScreenPoint> cursor() override { return ScreenPoint{0, 0}; }

  std::optional<ColorValue> pixel(ScreenPoint point) override {
    if (point.x < 0 || point.y < 0 || point.x >= view_.width || point.y >= view_.height)
      return std::nullopt;
    return color_of(view_.row(point.y)[point.x]);
  }

  // The picture never changes, so a grab is a view of it where it lies.
  bool grab(int width, int height, PixelView& out) override {
    out = view_;
    out.width = std::min(width, view_.width);
    out.height = std::min(height, view_.height);
    return !out.empty();
  }

 private:
  Bitmap picture_;
  PixelView view_;
};

}  // namespace

std::unique_ptr<ScreenSource> open_picture_screen(const char* path, std::string& why_not) {
  Bitmap picture;
  std::string error;
  if (!read_bmp(path, picture, error)) {
    why_not = std::string("cannot use ") + path + " as the screen (" + error + ")";
    return nullptr;
  }
  return std::make_unique<PictureScreen>(std::move(picture));
}

}  // namespace tapline::platform
