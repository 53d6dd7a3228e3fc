// Touch reports, the TouchArea they are scaled against, and the touch gestures.
#pragma once

#include <cstdint>

#include "tapline.h"

namespace tapline {

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

// Two taps of contact 0 at (x, y): down, `hold_ms`, lift, 250 ms, down, `hold_ms`, lift,
// then `after_ms` (no pause when 0).
void double_tap(int x, int y, int hold_ms, int after_ms);

enum class SlideDirection : uint8_t { Left, Right, Up, Down };
// touch_slide across the TouchArea in one direction, with the default delay: left from
// (width - 200, height / 2) to (100, height / 2), right from (200, height / 2) to
// (width - 100, height / 2), up from (width / 2, height - 400) to (width / 2, 400), down
// from (width / 2, 500) to (width / 2, height - 400).
void slide_across(SlideDirection direction);

}  // namespace tapline
