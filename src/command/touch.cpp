#include "command/touch.h"

#include "command/frame.h"
#include "system/clock.h"
#include "system/console.h"

namespace tapline {
namespace {

constexpr int kClickHoldMs = 10;
constexpr int kLongClickHoldMs = 1000;
constexpr int kDoubleClickHoldMs = 60;
constexpr int kDoubleClickGapMs = 250;
constexpr int kDoubleClickAfterMs = 10;
constexpr int kZoomSteps = 5;
constexpr int kZoomStepUnits = 100;
constexpr int kZoomPauseMs = 10;

TouchArea area;

int touch_down(int contact, int x, int y) { return touch(1, contact, x, y); }

// Calls `point` with each value from `from` toward `to`, one step apart. Counting up
// never reaches `to`; counting down reaches it when the distance is a whole number of
// steps.
template <typename Point>
void step_along(int from, int to, Point point) {
  for (int value = from;;) {
    point(value);
    if (to > from) {
      value += kSlideStep;
      if (value >= to) break;
    } else {
      value -= kSlideStep;
      if (value < to) break;
    }
  }
}

void slide_to(int x1, int y1, int x2, int y2, int delay) {
  auto point = [delay](int x, int y) {
    touch_down(0, x, y);
    system::sleep_ms(delay);
  };
  if (x1 == x2) {
    step_along(y1, y2, [&](int y) { point(x1, y); });
  } else if (y1 == y2) {
    step_along(x1, x2, [&](int x) { point(x, y1); });
  } else {
    // Points on the straight line through both ends, one per step of x; the end point
    // itself is never sent. Products of 16-bit coordinates need more than 32 bits.
    for (int x = x1;;) {
      const int64_t numerator = int64_t{x2} * y1 - int64_t{x1} * y2 + int64_t{y2 - y1} * x;
      const auto y = static_cast<int>(numerator / (x2 - x1));
      point(x, y);
      x += x2 > x1 ? kSlideStep : -kSlideStep;
      if (x2 > x1 ? x >= x2 : x <= x2) break;
      if (y2 > y1 ? y >= y2 : y <= y2) break;
    }
  }
}

// The named slides end with a lift of their own after touch_slide's.
int slide_and_lift(SlideDirection direction) {
  const system::CommandLock lock;
  slide_across(direction);
  return touch_release(0);
}

int zoom(int x, int first_start, int first_step, int second_start, int second_step) {
  const system::CommandLock lock;
  for (int i = 0; i < kZoomSteps; ++i) {
    touch_down(0, x, first_start + first_step * i);
    touch_down(1, x, second_start + second_step * i);
    system::sleep_ms(kZoomPauseMs);
  }
  touch_release(0);
  return touch_release(1);
}

}  // namespace

TouchArea touch_area() { return area; }

void double_tap(int x, int y, int hold_ms, int after_ms) {
  touch_down(0, x, y);
  system::sleep_ms(hold_ms);
  touch_release(0);
  system::sleep_ms(kDoubleClickGapMs);
  touch_down(0, x, y);
  system::sleep_ms(hold_ms);
  touch_release(0);
  if (after_ms > 0) system::sleep_ms(after_ms);
}

void slide_across(SlideDirection direction) {
  const int mid_x = area.width / 2;
  const int mid_y = area.height / 2;
  switch (direction) {
    case SlideDirection::Left:
      return touch_slide(area.width - 200, mid_y, 100, mid_y, kDefaultSlideDelayMs);
    case SlideDirection::Right:
      return touch_slide(200, mid_y, area.width - 100, mid_y, kDefaultSlideDelayMs);
    case SlideDirection::Up:
      return touch_slide(mid_x, area.height - 400, mid_x, 400, kDefaultSlideDelayMs);
    case SlideDirection::Down:
      return touch_slide(mid_x, 500, mid_x, area.height - 400, kDefaultSlideDelayMs);
  }
}

bool set_touch_area(int width, int height) {
  if (width == 0 || height == 0) {
    system::console_diagnostic(
        "touch area %d x %d refused (a side of 0 cannot scale touches); keeping "
        "%d x %d\n",
        width, height, area.width, area.height);
    return false;
  }
  area = {width, height};
  return true;
}

}  // namespace tapline

using namespace tapline;

extern "C" {

void touch_set(int width, int height) {
  const system::CommandLock lock;
  set_touch_area(static_cast<uint16_t>(width), static_cast<uint16_t>(height));
}

int touch(int state, int contact, int x, int y) {
  const system::CommandLock lock;
  const int32_t scaled_x = static_cast<uint16_t>(x) * kPositionRange / area.width;
  const int32_t scaled_y = static_cast<uint16_t>(y) * kPositionRange / area.height;
  return send_fields(TouchFields{static_cast<uint8_t>(state), static_cast<uint8_t>(contact),
                                 static_cast<uint16_t>(scaled_x), static_cast<uint16_t>(scaled_y)});
}

int touch_release(int contact) { return touch(0, contact, 0, 0); }

int touch_click(int x, int y) {
  const system::CommandLock lock;
  touch_down(0, x, y);
  system::sleep_ms(kClickHoldMs);
  return touch_release(0);
}

int touch_longclick(int x, int y) {
  const system::CommandLock lock;
  touch_down(0, x, y);
  system::sleep_ms(kLongClickHoldMs);
  return touch_release(0);
}

void touch_dbclick(int x, int y) {
  const system::CommandLock lock;
  const int at_x = static_cast<uint16_t>(x) == 0 ? area.width / 2 : x;
  const int at_y = static_cast<uint16_t>(y) == 0 ? area.height / 2 : y;
  double_tap(at_x, at_y, kDoubleClickHoldMs, kDoubleClickAfterMs);
}

void touch_slide(int x1, int y1, int x2, int y2, int delay) {
  const system::CommandLock lock;
  const int from_x = static_cast<uint16_t>(x1), from_y = static_cast<uint16_t>(y1);
  const int to_x = static_cast<uint16_t>(x2), to_y = static_cast<uint16_t>(y2);
  if (from_x == to_x && from_y == to_y) return;
  const int pause =
      static_cast<uint16_t>(delay) == 0 ? kDefaultSlideDelayMs : static_cast<uint16_t>(delay);
  slide_to(from_x, from_y, to_x, to_y, pause);
  touch_release(0);
}

int touch_slide_left(void) { return slide_and_lift(SlideDirection::Left); }
int touch_slide_right(void) { return slide_and_lift(SlideDirection::Right); }
int touch_slide_up(void) { return slide_and_lift(SlideDirection::Up); }
int touch_slide_down(void) { return slide_and_lift(SlideDirection::Down); }

// The second contact's ordinate is counted from the width, as the device's gesture is
// defined.
int touch_zoom_in(void) {
  return zoom(area.width / 2, 500, kZoomStepUnits, area.width - 500, -kZoomStepUnits);
}

int touch_zoom_out(void) {
  const int mid_y = area.height / 2;
  return zoom(area.width / 2, mid_y, -kZoomStepUnits, mid_y, kZoomStepUnits);
}

}  // extern "C"
