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

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace tapline::device {

class WaylandTarget final : public InputTarget {
 public:
  // Connects to the compositor WAYLAND_DISPLAY names and makes the virtual devices;
  // nullptr with the reason in `error` when it cannot.
  static std::unique_ptr<WaylandTarget> open(std::string& error);
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

  // An output of the layout: where it is and how large, in layout coordinates.
  struct Output {
    uint32_t name = 0;  // the registry's
    wl_output* output = nullptr;
    zxdg_output_v1* xdg_output = nullptr;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int scale = 1;
    bool logical = false;  // x, y, width and height come from xdg-output
  };
  // Registry globals, filled in by the registry's listener.
  struct Globals {
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboards = nullptr;
    zwlr_virtual_pointer_manager_v1* pointers = nullptr;
    zxdg_output_manager_v1* xdg_outputs = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
  };

 private:
  struct HeldKey {
    Keysym keysym;
    uint32_t keycode;
  };

  explicit WaylandTarget(wl_display* display);
  bool send_keymap(std::string& error);
  // The keycode of a keysym, binding it to a spare keycode when no key has it.
  WaylandKeymap::Place place_of(Keysym keysym);
  void send_key(uint32_t keycode, bool down);
  void send_modifiers(uint32_t depressed);
  // The modifiers the held modifier keys make.
  uint32_t held_modifiers() const;
  void pointer_changed() { pointer_frame_due_ = true; }
  void read_events();

  wl_display* display_;
  wl_registry* registry_ = nullptr;
  Globals globals_;
  zwp_virtual_keyboard_v1* keyboard_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  WaylandKeymap keymap_;
  std::vector<HeldKey> held_;
  bool silent_ = false;       // the compositor stopped answering: no more waiting for it
  bool keymap_sent_ = false;  // before it, the compositor takes no keys or modifiers
  uint32_t locked_ = 0;       // Caps Lock and Num Lock, toggled by their keys
  bool pointer_frame_due_ = false;
  int wheel_clicks_ = 0;  // since the last frame; negative up, as Wayland counts
};

}  // namespace tapline::device
