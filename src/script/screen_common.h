// What the screen functions and the bitmap searches share.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>

#include "image/search.h"
#include "platform/screen_source.h"

namespace tapline::script {

using image::BufferedText;
using image::ColorValue;
using image::Pixel;
using image::PixelView;
using image::SearchRegion;
using platform::ScreenPoint;

// Script numbers as coordinates: beyond the int range they are held at its ends.
inline int to_coordinate(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

// Takes a ScreenGrab with right edge `right` and bottom edge `bottom`: each is limited to
// the screen, an edge below 0 counting as beyond it. False, with one line on standard
// error in the name of `function` when a screen exists, when the platform gives no pixels.
bool take_screen_grab(const char* function, int right, int bottom, PixelView& out);

}  // namespace tapline::script
