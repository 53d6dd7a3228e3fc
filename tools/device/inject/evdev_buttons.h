// What the desktops that take input by evdev codes (Wayland's virtual pointer, KWin's fake
// input, mutter's remote desktop) need of the X button numbers the injector speaks.
#pragma once

#include <linux/input-event-codes.h>

#include <cstdint>

namespace tapline::device {

// One wheel click as pointer axis motion, as a mouse wheel reports it.
inline constexpr double kWheelClickDistance = 15.0;

// evdev's button of an X button number: 1 left, 2 middle, 3 right, 8 back, 9 forward and
// on; 0 for the wheel's 4 to 7.
constexpr uint32_t evdev_button(unsigned number) {
  switch (number) {
    case 1:
      return BTN_LEFT;
    case 2:
      return BTN_MIDDLE;
    case 3:
      return BTN_RIGHT;
    default:
      return number >= 8 && number <= 15 ? BTN_SIDE + (number - 8) : 0;
  }
}

}  // namespace tapline::device
