// The desktop as the device's injector sees it: keys by keysym, buttons, pointer moves.
// The operations each desktop backend implements: an X11 display through XTest, a Wayland
// compositor through its virtual keyboard and pointer; tests record the calls.
#pragma once

#include <cstdint>

#include "inject/desktop_keys.h"

namespace tapline::device {

struct ScreenExtent {
  int width = 0;
  int height = 0;
};

enum class TouchPhase { down, move, up };

class InputTarget {
 public:
  virtual ~InputTarget() = default;
  // Presses or releases the key of a keysym, as a key: no Shift is added for keysyms that
  // sit on a key's shifted level. Keysyms that no key has get one for as long as needed.
  virtual void key(Keysym keysym, bool down) = 0;
  // Types one character (press and release) so that it arrives as that character.
  virtual void type_character(char32_t character) = 0;
  // X button numbers: 1 left, 2 middle, 3 right, 4/5 wheel up/down, 8 and up further.
  virtual void button(unsigned number, bool down) = 0;
  virtual void move_by(int dx, int dy) = 0;
  virtual void move_to(int x, int y) = 0;
  virtual ScreenExtent screen() const = 0;
  // True where the desktop takes touches of its own (touch(), positions as for move_to);
  // elsewhere touch contact 0 is the pointer with the left button.
  virtual bool takes_touch() const { return false; }
  virtual void touch(TouchPhase, int, int) {}
  // Sends what was asked so far; called after each frame.
  virtual void flush() = 0;
  // Nothing came for a while: keycodes borrowed for keysyms get their own mapping back,
  // except for keys still held.
  virtual void settle() = 0;
  // True while any keycode is borrowed.
  virtual bool borrowing() const = 0;
};

}  // namespace tapline::device
