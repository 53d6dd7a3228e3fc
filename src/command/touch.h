// Touch reports, the TouchArea they are scaled against, and the touch gestures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tapline.h"

namespace tapline {

inline constexpr size_t kTouchReportSize = 6;
inline constexpr int kSlideStep = 50;  // coordinate units between the points of a slide
inline constexpr int kDefaultSlideDelayMs = 20;

// The target screen size in touch coordinate units (process-wide, initially 1080 x 2408).
struct TouchArea {
  int width = 1080;
  int height = 2408;
};

TouchArea touch_area();
// Sets the TouchArea to the whole numbers given. A width or height of 0 would make every
// touch divide by zero: the old TouchArea stays, a notice goes to stderr, and the result
// is false.
bool set_touch_area(int width, int height);

}  // namespace tapline
