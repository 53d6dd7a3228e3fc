#include "inject/wayland/wayland_target.h"

#include <X11/keysym.h>
#include <linux/input-event-codes.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/virtual-keyboard-unstable-v1-client-protocol.h>
#include <wayland/wlr-virtual-pointer-unstable-v1-client-protocol.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "inject/evdev_buttons.h"
#include "system/clock.h"

namespace tapline::device {
namespace {

using platform::wayland::Connection;

// A compositor takes requests as fast as it can even when busy: one that takes nothing
// from a full socket for this long has hung.
constexpr std::chrono::milliseconds kRoomTimeout{5000};
// How often a wait for room looks whether the compositor took anything.
constexpr int kProgressCheckMs = 200;

// The bytes sent and not yet read by the compositor; -1 when the system does not say.
int queued_bytes(int fd) {
  int queued = -1;
  return ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

std::string display_name() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  return name != nullptr && *name != '\0' ? name : "wayland-0";
}

}  // namespace

std::unique_ptr<Connection> open_injector_connection(std::string& error) {
  Connection::Failure failure;
  std::unique_ptr<Connection> connection = Connection::open(failure);
  if (!connection)
    error = failure.kind == Connection::Failure::unreachable
                ? "cannot connect to the Wayland display " + display_name() + ": " +
                      std::strerror(failure.error)
                : "the Wayland display " + display_name() +
                      (failure.kind == Connection::Failure::silent ? " does not answer"
                                                                   : " broke the connection");
  return connection;
}

// The compositor is not waited for without end: the device is deaf to stop signals while
// it waits.
std::unique_ptr<WaylandTarget> WaylandTarget::open(int stop_fd, std::string& error) {
  std::unique_ptr<Connection> connection = open_injector_connection(error);
  if (!connection) return nullptr;
  std::unique_ptr<WaylandTarget> target(new WaylandTarget(std::move(connection), stop_fd));
  Connection& bound = *target->connection_;
  // The first seat: a desktop has one.
  target->seat_ = static_cast<wl_seat*>(bound.bind(wl_seat_interface, 1));
  target->keyboards_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
      bound.bind(zwp_virtual_keyboard_manager_v1_interface, 1));
  target->pointers_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
      bound.bind(zwlr_virtual_pointer_manager_v1_interface, 1));
  const char* missing = target->seat_ == nullptr        ? "seat (wl_seat)"
                        : target->keyboards_ == nullptr ? "virtual keyboards "
                                                          "(zwp_virtual_keyboard_manager_v1)"
                        : target->pointers_ == nullptr  ? "virtual pointers "
                                                          "(zwlr_virtual_pointer_manager_v1)"
                                                        : nullptr;
  if (missing != nullptr) {
    error = "the compositor at " + display_name() + " offers no " + missing +
            ", so input cannot be injected";
    return nullptr;
  }
  target->keyboard_ =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(target->keyboards_, target->seat_);
  target->pointer_ =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(target->pointers_, target->seat_);
  if (!target->send_keymap(error)) return nullptr;
  const Connection::Answer answer = bound.roundtrip();
  if (answer != Connection::Answer::given) {
    target->silent_ = answer == Connection::Answer::silent;
    error = "the compositor at " + display_name() +
            (target->silent_ ? " does not answer" : " refused the virtual keyboard or pointer");
    return nullptr;
  }
  return target;
}

WaylandTarget::WaylandTarget(std::unique_ptr<Connection> connection, int stop_fd)
    : connection_(std::move(connection)), stop_fd_(stop_fd) {}

WaylandTarget::~WaylandTarget() {
  // What is still queued goes first, so that the releases fit behind it.
  if (stopping_ && !silent_) silent_ = connection_->roundtrip() != Connection::Answer::given;
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
  if (!silent_) connection_->roundtrip();
  if (keyboards_ != nullptr) zwp_virtual_keyboard_manager_v1_destroy(keyboards_);
  if (pointers_ != nullptr) zwlr_virtual_pointer_manager_v1_destroy(pointers_);
  if (seat_ != nullptr) wl_seat_destroy(seat_);
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
  if (stopping_) return;
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
  if (stopping_) return;
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
  if (stopping_) return;
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
  if (stopping_) return;
  zwlr_virtual_pointer_v1_motion(pointer_, system::tick_ms(), wl_fixed_from_int(dx),
                                 wl_fixed_from_int(dy));
  pointer_changed();
}

void WaylandTarget::move_to(int x, int y) {
  if (stopping_) return;
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
  std::vector<platform::wayland::OutputPlace> places;
  for (const Connection::Output* output : connection_->outputs()) places.push_back(output->place);
  const platform::wayland::LayoutBox box = platform::wayland::bounding_box(places);
  return {box.width, box.height};
}

// Takes in what the compositor said (outputs coming and going) without waiting for it.
void WaylandTarget::read_events() {
  wl_display* display = connection_->display();
  while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
  pollfd ready{wl_display_get_fd(display), POLLIN, 0};
  if (poll(&ready, 1, 0) > 0)
    wl_display_read_events(display);
  else
    wl_display_cancel_read(display);
  wl_display_dispatch_pending(display);
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
  send_queued();
  if (const int error = wl_display_get_error(connection_->display())) {
    // The connection is gone for good: nothing can be released any more.
    std::fprintf(stderr, "tapline-device: lost the Wayland display %s: %s\n",
                 display_name().c_str(), std::strerror(error));
    std::exit(1);
  }
}

// A compositor busy with a burst reads its socket later than the frames come. What does
// not fit stays in the client library's buffer, and a request that finds that buffer
// full ends the connection: so every frame's requests go out whole before the next.
void WaylandTarget::send_queued() {
  wl_display* display = connection_->display();
  const int fd = wl_display_get_fd(display);
  auto deadline = std::chrono::steady_clock::now() + kRoomTimeout;
  int queued = queued_bytes(fd);
  while (wl_display_flush(display) < 0 && errno == EAGAIN) {
    // The compositor's events are read meanwhile: it ends clients that leave them unread.
    std::array<pollfd, 2> watched{{{fd, POLLOUT | POLLIN, 0}, {stop_fd_, POLLIN, 0}}};
    const int ready = poll(watched.data(), watched.size(), kProgressCheckMs);
    if (ready < 0 && errno != EINTR) return;  // the display's error, if any, is read later
    if (watched[1].revents != 0) {
      stopping_ = true;
      return;
    }
    if (watched[0].revents & POLLIN) read_events();
    // Slow is not hung: the wait is bounded from the last time the compositor took some.
    const int now_queued = queued_bytes(fd);
    const auto now = std::chrono::steady_clock::now();
    if (now_queued < queued) deadline = now + kRoomTimeout;
    queued = now_queued;
    if ((watched[0].revents & POLLOUT) == 0 && now >= deadline) {
      std::fprintf(stderr, "tapline-device: the Wayland display %s takes no input\n",
                   display_name().c_str());
      std::exit(1);
    }
  }
}

}  // namespace tapline::device
