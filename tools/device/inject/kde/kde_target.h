// The desktop of KWin (KDE Plasma) on Wayland, driven through KWin's fake input
// (org_kde_kwin_fake_input): keys by evdev code on the layout KWin has, buttons, the wheel,
// relative and absolute pointer motion and touch over the layout of all outputs. KWin
// offers fake input only to programs that an application .desktop file names; the
// installed tapline-device has one. The connection stays open for the device's life: on
// KWin's virtual outputs the seat has a pointer only while a fake-input client is connected.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inject/input_target.h"
#include "inject/wayland/wayland_keymap.h"
#include "platform/wayland/display.h"

struct org_kde_kwin_fake_input;

namespace tapline::device {

class KdeTarget final : public InputTarget {
 public:
  // Connects to the compositor WAYLAND_DISPLAY names and asks for its fake input; nullptr
  // with the reason (and how to get the grant) in `error` when it cannot.
  static std::unique_ptr<KdeTarget> open(std::string& error);
  // Releases every key, button and touch still held and disconnects.
  ~KdeTarget() override;
  KdeTarget(const KdeTarget&) = delete;
  KdeTarget& operator=(const KdeTarget&) = delete;

  void key(Keysym keysym, bool down) override;
  void type_character(char32_t character) override;
  void button(unsigned number, bool down) override;
  void move_by(int dx, int dy) override;
  void move_to(int x, int y) override;
  ScreenExtent screen() const override;
  // One contact, KWin's touch id 0, at positions as for move_to.
  bool takes_touch() const override { return true; }
  void touch(TouchPhase phase, int x, int y) override;
  void flush() override;
  // Keys are KWin's own; nothing is borrowed.
  void settle() override {}
  bool borrowing() const override { return false; }

 private:
  struct HeldKey {
    Keysym keysym;
    uint32_t keycode;
  };

  explicit KdeTarget(std::unique_ptr<platform::wayland::Connection> connection);
  // The evdev key of a keysym on a US layout; 0 (said once per keysym) when none has it.
  WaylandKeymap::Place place_of(Keysym keysym);
  void send_key(uint32_t keycode, bool down);
  void lift_touch();

  std::unique_ptr<platform::wayland::Connection> connection_;
  org_kde_kwin_fake_input* input_ = nullptr;
  // Only its US layout's keys are used: fake input takes keys, not keysyms.
  WaylandKeymap keymap_;
  std::vector<HeldKey> held_;
  std::vector<uint32_t> held_buttons_;
  std::vector<Keysym> said_missing_;
  bool silent_ = false;
  bool touching_ = false;
  int wheel_clicks_ = 0;  // since the last flush; negative up, as Wayland counts
};

}  // namespace tapline::device
