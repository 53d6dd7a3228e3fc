// The desktop of a Wayland compositor, driven through a virtual keyboard
// (zwp_virtual_keyboard_v1) with a keymap of the injector's own and a virtual pointer
// (zwlr_virtual_pointer_v1); absolute positions span the layout of all outputs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inject/input_target.h"
#include "inject/wayland/wayland_keymap.h"
#include "platform/wayland/display.h"

struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace tapline::device {

// The Wayland display named by WAYLAND_DISPLAY as an injector's connection: nullptr, with
// the device's words for why in `error`, when it cannot be reached or does not answer.
std::unique_ptr<platform::wayland::Connection> open_injector_connection(std::string& error);

class WaylandTarget final : public InputTarget {
 public:
  // Connects to the compositor WAYLAND_DISPLAY names and makes the virtual devices;
  // nullptr with the reason in `error` when it cannot. A wait for the compositor to take
  // input ends when `stop_fd` (the device's stop signals) becomes readable.
  static std::unique_ptr<WaylandTarget> open(int stop_fd, std::string& error);
  // Releases any key and modifier still pressed and disconnects.
  ~WaylandTarget() override;
  WaylandTarget(const WaylandTarget&) = delete;
  WaylandTarget& operator=(const WaylandTarget&) = delete;

  void key(Keysym keysym, bool down) override;
  void type_character(char32_t character) override;
  void button(unsigned number, bool down) override;
  void move_by(int dx, int dy) override;
  void move_to(int x, int y) override;
  ScreenExtent screen() const override;
  void flush() override;
  // Every keysym has a keycode of the injector's own keymap: nothing is borrowed from
  // anyone, so nothing is given back.
  void settle() override {}
  bool borrowing() const override { return false; }

 private:
  struct HeldKey {
    Keysym keysym;
    uint32_t keycode;
  };

  WaylandTarget(std::unique_ptr<platform::wayland::Connection> connection, int stop_fd);
  bool send_keymap(std::string& error);
  // The keycode of a keysym, binding it to a spare keycode when no key has it.
  WaylandKeymap::Place place_of(Keysym keysym);
  void send_key(uint32_t keycode, bool down);
  void send_modifiers(uint32_t depressed);
  // The modifiers the held modifier keys make.
  uint32_t held_modifiers() const;
  void pointer_changed() { pointer_frame_due_ = true; }
  void read_events();
  // Hands every queued request to the compositor, waiting for room in the socket.
  void send_queued();

  // The outputs' layout is the connection's; the compositor spreads absolute positions
  // over it.
  std::unique_ptr<platform::wayland::Connection> connection_;
  int stop_fd_;
  wl_seat* seat_ = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboards_ = nullptr;
  zwlr_virtual_pointer_manager_v1* pointers_ = nullptr;
  zwp_virtual_keyboard_v1* keyboard_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  WaylandKeymap keymap_;
  std::vector<HeldKey> held_;
  bool silent_ = false;  // the compositor stopped answering: no more waiting for it
  // A stop came while the compositor was behind: no more input goes out, as it could
  // not fit; the end releases what is held once the compositor has caught up.
  bool stopping_ = false;
  bool keymap_sent_ = false;  // before it, the compositor takes no keys or modifiers
  uint32_t locked_ = 0;       // Caps Lock and Num Lock, toggled by their keys
  bool pointer_frame_due_ = false;
  int wheel_clicks_ = 0;  // since the last frame; negative up, as Wayland counts
};

}  // namespace tapline::device
