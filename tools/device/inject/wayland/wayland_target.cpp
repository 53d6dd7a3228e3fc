#include "inject/wayland/wayland_target.h"

#include <X11/keysym.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/virtual-keyboard-unstable-v1-client-protocol.h>
#include <wayland/wlr-virtual-pointer-unstable-v1-client-protocol.h>
#include <wayland/xdg-output-unstable-v1-client-protocol.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system/clock.h"

namespace tapline::device {
namespace {

using Output = WaylandTarget::Output;
using Globals = WaylandTarget::Globals;

// One wheel click as pointer axis motion, as a mouse wheel reports it.
constexpr double kWheelClickDistance = 15.0;
// A compositor answers at once even when busy; one silent for this long has hung, and the
// device (deaf to stop signals while it waits) must not wait for it for ever.
constexpr int kAnswerTimeoutMs = 5000;

void on_logical_position(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
  auto* output = static_cast<Output*>(data);
  output->x = x, output->y = y, output->logical = true;
}
void on_logical_size(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto* output = static_cast<Output*>(data);
  output->width = width, output->height = height, output->logical = true;
}
void on_xdg_done(void*, zxdg_output_v1*) {}
void on_xdg_name(void*, zxdg_output_v1*, const char*) {}
void on_xdg_description(void*, zxdg_output_v1*, const char*) {}
constexpr zxdg_output_v1_listener kXdgOutputListener = {
    on_logical_position, on_logical_size, on_xdg_done, on_xdg_name, on_xdg_description};

// Without xdg-output: the output's position and its mode divided by its scale.
void on_geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                 const char*, const char*, int32_t) {
  auto* output = static_cast<Output*>(data);
  if (!output->logical) output->x = x, output->y = y;
}
void on_mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  auto* output = static_cast<Output*>(data);
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0 || output->logical) return;
  output->width = width / output->scale;
  output->height = height / output->scale;
}
void on_output_done(void*, wl_output*) {}
void on_scale(void* data, wl_output*, int32_t factor) {
  static_cast<Output*>(data)->scale = std::max(1, factor);
}
void on_output_name(void*, wl_output*, const char*) {}
void on_output_description(void*, wl_output*, const char*) {}
constexpr wl_output_listener kOutputListener = {on_geometry, on_mode,        on_output_done,
                                                on_scale,    on_output_name, on_output_description};

void watch_xdg_output(Globals& globals, Output& output) {
  if (globals.xdg_outputs == nullptr || output.xdg_output != nullptr) return;
  output.xdg_output = zxdg_output_manager_v1_get_xdg_output(globals.xdg_outputs, output.output);
  zxdg_output_v1_add_listener(output.xdg_output, &kXdgOutputListener, &output);
}

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
  auto& globals = *static_cast<Globals*>(data);
  const auto bind = [&](const wl_interface& wanted, uint32_t highest) {
    return wl_registry_bind(registry, name, &wanted, std::min(version, highest));
  };
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && globals.seat == nullptr) {
    globals.seat = static_cast<wl_seat*>(bind(wl_seat_interface, 1));
  } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    globals.keyboards = static_cast<zwp_virtual_keyboard_manager_v1*>(
        bind(zwp_virtual_keyboard_manager_v1_interface, 1));
  } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    globals.pointers = static_cast<zwlr_virtual_pointer_manager_v1*>(
        bind(zwlr_virtual_pointer_manager_v1_interface, 1));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    globals.xdg_outputs =
        static_cast<zxdg_output_manager_v1*>(bind(zxdg_output_manager_v1_interface, 2));
    for (auto& output : globals.outputs) watch_xdg_output(globals, *output);
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto output = std::make_unique<Output>();
    output->name = name;
    output->output = static_cast<wl_output*>(bind(wl_output_interface, 2));
    wl_output_add_listener(output->output, &kOutputListener, output.get());
    watch_xdg_output(globals, *output);
    globals.outputs.push_back(std::move(output));
  }
}

void on_global_remove(void* data, wl_registry*, uint32_t name) {
  auto& outputs = static_cast<Globals*>(data)->outputs;
  const auto gone = std::find_if(outputs.begin(), outputs.end(),
                                 [&](const auto& output) { return output->name == name; });
  if (gone == outputs.end()) return;
  if ((*gone)->xdg_output != nullptr) zxdg_output_v1_destroy((*gone)->xdg_output);
  wl_output_destroy((*gone)->output);
  outputs.erase(gone);
}

constexpr wl_registry_listener kRegistryListener = {on_global, on_global_remove};

// X button numbers as evdev button codes: 1 left, 2 middle, 3 right, 8 and up the side
// buttons; 0 for the wheel's 4 to 7.
uint32_t evdev_button(unsigned number) {
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

void on_sync_done(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }
constexpr wl_callback_listener kSyncListener = {on_sync_done};

enum class Answer { Given, Silent, Broken };

// wl_display_roundtrip with a time limit: whether the compositor answered everything sent
// so far (its events dispatched), stayed silent, or broke the connection.
Answer roundtrip(wl_display* display) {
  bool answered = false;
  wl_callback* sync = wl_display_sync(display);
  wl_callback_add_listener(sync, &kSyncListener, &answered);
  const uint32_t start = system::tick_ms();
  Answer answer = Answer::Given;
  while (!answered) {
    bool broken = false;
    while (!broken && wl_display_prepare_read(display) != 0)
      broken = wl_display_dispatch_pending(display) < 0;
    if (broken) {
      answer = Answer::Broken;
      break;
    }
    if (answered) {
      wl_display_cancel_read(display);
      break;
    }
    // What does not fit into the socket yet goes once there is room.
    pollfd ready{wl_display_get_fd(display), POLLIN, 0};
    if (wl_display_flush(display) < 0 && errno == EAGAIN) ready.events |= POLLOUT;
    const uint32_t waited = system::tick_ms() - start;
    const int polled = waited < kAnswerTimeoutMs
                           ? poll(&ready, 1, static_cast<int>(kAnswerTimeoutMs - waited))
                           : 0;
    if (polled < 0 && errno == EINTR) {
      wl_display_cancel_read(display);
      continue;
    }
    if (polled <= 0) {
      wl_display_cancel_read(display);
      answer = polled == 0 ? Answer::Silent : Answer::Broken;
      break;
    }
    if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      wl_display_cancel_read(display);
      continue;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
      answer = Answer::Broken;
      break;
    }
  }
  wl_callback_destroy(sync);
  return answer;
}

std::string display_name() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  return name != nullptr && *name != '\0' ? name : "wayland-0";
}

}  // namespace

std::unique_ptr<WaylandTarget> WaylandTarget::open(std::string& error) {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    error = "cannot connect to the Wayland display " + display_name() + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<WaylandTarget> target(new WaylandTarget(display));
  Globals& globals = target->globals_;
  target->registry_ = wl_display_get_registry(display);
  wl_registry_add_listener(target->registry_, &kRegistryListener, &globals);
  // Twice: the globals, then what the outputs say of themselves.
  Answer answer = roundtrip(display);
  if (answer == Answer::Given) answer = roundtrip(display);
  if (answer != Answer::Given) {
    target->silent_ = answer == Answer::Silent;
    error = "the Wayland display " + display_name() +
            (answer == Answer::Silent ? " does not answer" : " broke the connection");
    return nullptr;
  }
  const char* missing = globals.seat == nullptr        ? "seat (wl_seat)"
                        : globals.keyboards == nullptr ? "virtual keyboards "
                                                         "(zwp_virtual_keyboard_manager_v1)"
                        : globals.pointers == nullptr  ? "virtual pointers "
                                                         "(zwlr_virtual_pointer_manager_v1)"
                                                       : nullptr;
  if (missing != nullptr) {
    error = "the compositor at " + display_name() + " offers no " + missing +
            ", so input cannot be injected";
    return nullptr;
  }
  target->keyboard_ =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(globals.keyboards, globals.seat);
  target->pointer_ =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(globals.pointers, globals.seat);
  if (!target->send_keymap(error)) return nullptr;
  answer = roundtrip(display);
  if (answer != Answer::Given) {
    target->silent_ = answer == Answer::Silent;
    error = "the compositor at " + display_name() +
            (answer == Answer::Silent ? " does not answer"
                                      : " refused the virtual keyboard or pointer");
    return nullptr;
  }
  return target;
}

WaylandTarget::WaylandTarget(wl_display* display) : display_(display) {}

WaylandTarget::~WaylandTarget() {
  if (keyboard_ != nullptr) {
    if (keymap_sent_) {
      for (const HeldKey& key : held_) send_key(key.keycode, false);
      held_.clear();
      send_modifiers(0);
    }
    zwp_virtual_keyboard_v1_destroy(keyboard_);
  }
  if (pointer_ != nullptr) {
    if (pointer_frame_due_) zwlr_virtual_pointer_v1_frame(pointer_);
    zwlr_virtual_pointer_v1_destroy(pointer_);
  }
  // Whatever was sent reaches the compositor before the connection goes.
  if (!silent_) roundtrip(display_);
  for (auto& output : globals_.outputs) {
    if (output->xdg_output != nullptr) zxdg_output_v1_destroy(output->xdg_output);
    wl_output_destroy(output->output);
  }
  if (globals_.xdg_outputs != nullptr) zxdg_output_manager_v1_destroy(globals_.xdg_outputs);
  if (globals_.keyboards != nullptr) zwp_virtual_keyboard_manager_v1_destroy(globals_.keyboards);
  if (globals_.pointers != nullptr) zwlr_virtual_pointer_manager_v1_destroy(globals_.pointers);
  if (globals_.seat != nullptr) wl_seat_destroy(globals_.seat);
  if (registry_ != nullptr) wl_registry_destroy(registry_);
  wl_display_disconnect(display_);
}

bool WaylandTarget::send_keymap(std::string& error) {
  const std::string text = keymap_.compile(error);
  if (text.empty()) return false;
  const int fd = memfd_create("tapline-keymap", MFD_CLOEXEC);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    error = std::string("cannot hand the keymap over: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  // The request carries a copy of the descriptor.
  zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                 static_cast<uint32_t>(text.size()));
  close(fd);
  keymap_sent_ = true;
  // A new keymap starts from no modifiers at all.
  send_modifiers(held_modifiers());
  return true;
}

WaylandKeymap::Place WaylandTarget::place_of(Keysym keysym) {
  WaylandKeymap::Place place = keymap_.find(keysym);
  if (place.keycode != 0) return place;
  std::vector<uint32_t> in_use;
  for (const HeldKey& key : held_) in_use.push_back(key.keycode);
  place.keycode = keymap_.bind(keysym, in_use);
  std::string error;
  if (place.keycode != 0 && !send_keymap(error)) {
    std::fprintf(stderr, "tapline-device: %s\n", error.c_str());
    place.keycode = 0;
  }
  return place;
}

void WaylandTarget::send_key(uint32_t keycode, bool down) {
  zwp_virtual_keyboard_v1_key(
      keyboard_, system::tick_ms(), keycode,
      down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
}

void WaylandTarget::send_modifiers(uint32_t depressed) {
  zwp_virtual_keyboard_v1_modifiers(keyboard_, depressed, 0, locked_, 0);
}

uint32_t WaylandTarget::held_modifiers() const {
  const ModifierMasks& masks = keymap_.masks();
  uint32_t modifiers = 0;
  for (const HeldKey& key : held_) {
    switch (key.keysym) {
      case XK_Shift_L:
      case XK_Shift_R:
        modifiers |= masks.shift;
        break;
      case XK_Control_L:
      case XK_Control_R:
        modifiers |= masks.control;
        break;
      case XK_Alt_L:
      case XK_Alt_R:
        modifiers |= masks.alt;
        break;
      case XK_Super_L:
      case XK_Super_R:
        modifiers |= masks.super;
        break;
      default:
        break;
    }
  }
  return modifiers;
}

void WaylandTarget::key(Keysym keysym, bool down) {
  const auto found = std::find_if(held_.begin(), held_.end(),
                                  [&](const HeldKey& key) { return key.keysym == keysym; });
  if (!down) {
    // Released on the keycode it was pressed on, even if the keymap has changed since.
    if (found == held_.end()) return;
    const uint32_t keycode = found->keycode;
    held_.erase(found);
    send_key(keycode, false);
    send_modifiers(held_modifiers());
    return;
  }
  if (found != held_.end()) return;
  const WaylandKeymap::Place place = place_of(keysym);
  if (place.keycode == 0) {
    char name[64] = "a key";
    xkb_keysym_get_name(keysym, name, sizeof name);
    std::fprintf(stderr, "tapline-device: no keycode is free for %s\n", name);
    return;
  }
  held_.push_back({keysym, place.keycode});
  send_key(place.keycode, true);
  // Lock keys toggle on their press, as a keyboard's do.
  if (keysym == XK_Caps_Lock) locked_ ^= keymap_.masks().lock;
  if (keysym == XK_Num_Lock) locked_ ^= keymap_.masks().num_lock;
  send_modifiers(held_modifiers());
}

void WaylandTarget::type_character(char32_t character) {
  const Keysym keysym = character_keysym(character);
  if (keysym == 0) return;
  const WaylandKeymap::Place place = place_of(keysym);
  if (place.keycode == 0) {
    std::fprintf(stderr, "tapline-device: no keycode is free to type U+%04X\n",
                 static_cast<unsigned>(character));
    return;
  }
  // Exactly the level the character is on, whatever modifiers and locks are held.
  const uint32_t locked = locked_;
  locked_ = 0;
  send_modifiers(place.shifted ? keymap_.masks().shift : 0);
  send_key(place.keycode, true);
  send_key(place.keycode, false);
  locked_ = locked;
  send_modifiers(held_modifiers());
}

void WaylandTarget::button(unsigned number, bool down) {
  if (number == 4 || number == 5) {
    // The wheel's buttons: one click per press, nothing on release; the clicks of a
    // report go out together, as one wheel event.
    if (down) wheel_clicks_ += number == 4 ? -1 : 1;
    return;
  }
  const uint32_t code = evdev_button(number);
  if (code == 0) return;
  // Xwayland passes a button on at once but a move only at its frame's end: a button in
  // the frame of a move would reach X11 windows where the pointer was before the move.
  if (pointer_frame_due_) zwlr_virtual_pointer_v1_frame(pointer_);
  zwlr_virtual_pointer_v1_button(
      pointer_, system::tick_ms(), code,
      down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  pointer_changed();
}

void WaylandTarget::move_by(int dx, int dy) {
  zwlr_virtual_pointer_v1_motion(pointer_, system::tick_ms(), wl_fixed_from_int(dx),
                                 wl_fixed_from_int(dy));
  pointer_changed();
}

void WaylandTarget::move_to(int x, int y) {
  const ScreenExtent extent = screen();
  if (extent.width <= 0 || extent.height <= 0) return;
  zwlr_virtual_pointer_v1_motion_absolute(
      pointer_, system::tick_ms(), static_cast<uint32_t>(std::clamp(x, 0, extent.width - 1)),
      static_cast<uint32_t>(std::clamp(y, 0, extent.height - 1)),
      static_cast<uint32_t>(extent.width), static_cast<uint32_t>(extent.height));
  pointer_changed();
}

// The box around every output: the compositor spreads absolute positions over it.
ScreenExtent WaylandTarget::screen() const {
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
  for (const auto& output : globals_.outputs) {
    if (output->width <= 0 || output->height <= 0) continue;
    left = std::min(left, output->x);
    top = std::min(top, output->y);
    right = std::max(right, output->x + output->width);
    bottom = std::max(bottom, output->y + output->height);
  }
  if (left > right) return {};
  return {right - left, bottom - top};
}

// Takes in what the compositor said (outputs coming and going) without waiting for it.
void WaylandTarget::read_events() {
  while (wl_display_prepare_read(display_) != 0) wl_display_dispatch_pending(display_);
  pollfd ready{wl_display_get_fd(display_), POLLIN, 0};
  if (poll(&ready, 1, 0) > 0)
    wl_display_read_events(display_);
  else
    wl_display_cancel_read(display_);
  wl_display_dispatch_pending(display_);
}

void WaylandTarget::flush() {
  if (wheel_clicks_ != 0) {
    zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_WHEEL);
    zwlr_virtual_pointer_v1_axis_discrete(
        pointer_, system::tick_ms(), WL_POINTER_AXIS_VERTICAL_SCROLL,
        wl_fixed_from_double(wheel_clicks_ * kWheelClickDistance), wheel_clicks_);
    wheel_clicks_ = 0;
    pointer_frame_due_ = true;
  }
  if (pointer_frame_due_) zwlr_virtual_pointer_v1_frame(pointer_);
  pointer_frame_due_ = false;
  read_events();
  wl_display_flush(display_);
  if (const int error = wl_display_get_error(display_)) {
    // The connection is gone for good: nothing can be released any more.
    std::fprintf(stderr, "tapline-device: lost the Wayland display %s: %s\n",
                 display_name().c_str(), std::strerror(error));
    std::exit(1);
  }
}

}  // namespace tapline::device
