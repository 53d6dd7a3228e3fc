// The desktop of an X11 display, driven through the XTest extension.
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inject/input_target.h"

namespace tapline::device {

class X11Target final : public InputTarget {
 public:
  // Connects to the display (nullptr: the one DISPLAY names) and checks for XTest.
  // nullptr with the reason in `error` when either is missing. Keycodes that an earlier
  // device on the display borrowed and never gave back (it was killed) are given back.
  static std::unique_ptr<X11Target> open(const char* display_name, std::string& error);
  // Releases any key still pressed, gives back borrowed keycodes and disconnects.
  ~X11Target() override;
  X11Target(const X11Target&) = delete;
  X11Target& operator=(const X11Target&) = delete;

  void key(Keysym keysym, bool down) override;
  void type_character(char32_t character) override;
  void button(unsigned number, bool down) override;
  void move_by(int dx, int dy) override;
  void move_to(int x, int y) override;
  ScreenExtent screen() const override;
  void flush() override;
  void settle() override;
  bool borrowing() const override;

  // Keycodes that no keysym uses, which keysyms without a key borrow.
  size_t spare_keycodes() const { return spares_.size(); }

 private:
  // An unused keycode, lent to one keysym at a time.
  struct Spare {
    KeyCode code = 0;
    Keysym lent_to = 0;  // 0 while not lent
    uint64_t last_use = 0;
  };
  struct HeldKey {
    Keysym keysym;
    KeyCode code;
  };

  explicit X11Target(Display* display);
  void read_keyboard_map(bool keep_loans);
  // The keycode whose level `level` (0 plain, 1 shifted) of the first group is the
  // keysym; 0 when none.
  KeyCode keycode_at_level(Keysym keysym, int level) const;
  // The keycode to press for a keysym: its own key, a keycode already lent to it, or a
  // spare lent now. 0 when none is free.
  KeyCode keycode_for(Keysym keysym, bool& shifted, bool as_character);
  KeyCode lend(Keysym keysym);
  void give_back(Spare& spare);
  // The keycodes lent out, kept on the display's root window for a device that comes
  // after this one should it never give them back itself; none: the record is removed.
  void record_loans();
  // Gives back what the record of an earlier device names, and removes the record.
  void give_back_recorded_loans();
  bool held(KeyCode code) const;
  void tap(KeyCode code);
  void drain_events();

  Display* display_;
  int screen_number_;
  Atom loans_record_;
  int xkb_event_base_ = -1;  // -1 without XKB
  int min_keycode_ = 0;
  int max_keycode_ = 0;
  int keysyms_per_keycode_ = 0;
  std::vector<KeySym> map_;  // the core keyboard map as the server has it
  std::vector<Spare> spares_;
  std::vector<HeldKey> held_;  // keys this target has pressed and not released
  uint64_t uses_ = 0;
};

}  // namespace tapline::device
