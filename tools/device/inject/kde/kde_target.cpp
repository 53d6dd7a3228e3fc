#include "inject/kde/kde_target.h"

#include <X11/keysym.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/fake-input-client-protocol.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "inject/evdev_buttons.h"
#include "inject/wayland/wayland_target.h"

namespace tapline::device {
namespace {

using platform::wayland::Connection;

// Keys and absolute motion came with version 4 (KWin 5.24 and later); touch with version 2.
constexpr uint32_t kKeysVersion = 4;
constexpr uint32_t kTouchId = 0;
std::string display_name() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  return name != nullptr && *name != '\0' ? name : "wayland-0";
}

std::string program_path() {
  std::array<char, PATH_MAX> path{};
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  return length > 0 ? std::string(path.data(), static_cast<size_t>(length)) : "this program";
}

}  // namespace

std::unique_ptr<KdeTarget> KdeTarget::open(std::string& error) {
  std::unique_ptr<Connection> connection = open_injector_connection(error);
  if (!connection) return nullptr;
  std::unique_ptr<KdeTarget> target(new KdeTarget(std::move(connection)));
  Connection& bound = *target->connection_;
  target->input_ = static_cast<org_kde_kwin_fake_input*>(
      bound.bind(org_kde_kwin_fake_input_interface, kKeysVersion));
  if (target->input_ == nullptr) {
    error = "the compositor at " + display_name() +
            " offers no fake input (org_kde_kwin_fake_input). KWin offers it only to programs "
            "that a .desktop file names, and none names " +
            program_path() +
            ": run the installed tapline-device (cmake --install or the package put its grant "
            "in share/applications/tapline-device.desktop)";
    return nullptr;
  }
  if (org_kde_kwin_fake_input_get_version(target->input_) < kKeysVersion) {
    error = "the compositor's fake input is older than version 4 and takes no keys";
    return nullptr;
  }
  org_kde_kwin_fake_input_authenticate(target->input_, "Tapline software device",
                                       "does what the Tapline device does on this desktop");
  const Connection::Answer answer = bound.roundtrip();
  if (answer != Connection::Answer::given) {
    target->silent_ = answer == Connection::Answer::silent;
    error = "the compositor at " + display_name() +
            (target->silent_ ? " does not answer" : " refused its fake input");
    return nullptr;
  }
  return target;
}

KdeTarget::KdeTarget(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}

KdeTarget::~KdeTarget() {
  if (input_ == nullptr) return;
  for (const HeldKey& key : held_) send_key(key.keycode, false);
  for (const uint32_t code : held_buttons_)
    org_kde_kwin_fake_input_button(input_, code, WL_POINTER_BUTTON_STATE_RELEASED);
  lift_touch();
  // Whatever was sent reaches the compositor before the connection goes.
  if (!silent_) connection_->roundtrip();
  org_kde_kwin_fake_input_destroy(input_);
}

WaylandKeymap::Place KdeTarget::place_of(Keysym keysym) {
  const WaylandKeymap::Place place = keymap_.find(keysym);
  if (place.keycode == 0 &&
      std::find(said_missing_.begin(), said_missing_.end(), keysym) == said_missing_.end()) {
    said_missing_.push_back(keysym);
    char name[64] = "a key";
    xkb_keysym_get_name(keysym, name, sizeof name);
    std::fprintf(stderr,
                 "tapline-device: KWin's fake input presses keys of the keyboard layout only, "
                 "and no key of a US layout has %s\n",
                 name);
  }
  return place;
}

void KdeTarget::send_key(uint32_t keycode, bool down) {
  org_kde_kwin_fake_input_keyboard_key(
      input_, keycode, down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
}

void KdeTarget::key(Keysym keysym, bool down) {
  const auto found = std::find_if(held_.begin(), held_.end(),
                                  [&](const HeldKey& key) { return key.keysym == keysym; });
  if (!down) {
    if (found == held_.end()) return;
    send_key(found->keycode, false);
    held_.erase(found);
    return;
  }
  if (found != held_.end()) return;
  const WaylandKeymap::Place place = place_of(keysym);
  if (place.keycode == 0) return;
  held_.push_back({keysym, place.keycode});
  send_key(place.keycode, true);
}

void KdeTarget::type_character(char32_t character) {
  const Keysym keysym = character_keysym(character);
  if (keysym == 0) return;
  const WaylandKeymap::Place place = place_of(keysym);
  if (place.keycode == 0) return;
  // Shift for a character on the shifted level, unless a Shift key is held already.
  const bool shift =
      place.shifted && std::none_of(held_.begin(), held_.end(), [](const HeldKey& k) {
        return k.keysym == XK_Shift_L || k.keysym == XK_Shift_R;
      });
  if (shift) send_key(KEY_LEFTSHIFT, true);
  send_key(place.keycode, true);
  send_key(place.keycode, false);
  if (shift) send_key(KEY_LEFTSHIFT, false);
}

void KdeTarget::button(unsigned number, bool down) {
  if (number == 4 || number == 5) {
    // The wheel's buttons: one click per press, nothing on release.
    if (down) wheel_clicks_ += number == 4 ? -1 : 1;
    return;
  }
  const uint32_t code = evdev_button(number);
  if (code == 0) return;
  const auto held = std::find(held_buttons_.begin(), held_buttons_.end(), code);
  if (down == (held != held_buttons_.end())) return;
  if (down)
    held_buttons_.push_back(code);
  else
    held_buttons_.erase(held);
  org_kde_kwin_fake_input_button(
      input_, code, down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
}

void KdeTarget::move_by(int dx, int dy) {
  org_kde_kwin_fake_input_pointer_motion(input_, wl_fixed_from_int(dx), wl_fixed_from_int(dy));
}

// KWin takes absolute positions in the layout's logical coordinates.
void KdeTarget::move_to(int x, int y) {
  const ScreenExtent extent = screen();
  if (extent.width <= 0 || extent.height <= 0) return;
  org_kde_kwin_fake_input_pointer_motion_absolute(
      input_, wl_fixed_from_int(std::clamp(x, 0, extent.width - 1)),
      wl_fixed_from_int(std::clamp(y, 0, extent.height - 1)));
}

// A touch takes the same logical coordinates as absolute motion; each change is its own frame.
void KdeTarget::touch(TouchPhase phase, int x, int y) {
  if (phase == TouchPhase::up) {
    lift_touch();
    return;
  }
  const ScreenExtent extent = screen();
  if (extent.width <= 0 || extent.height <= 0) return;
  const wl_fixed_t fixed_x = wl_fixed_from_int(std::clamp(x, 0, extent.width - 1));
  const wl_fixed_t fixed_y = wl_fixed_from_int(std::clamp(y, 0, extent.height - 1));
  if (touching_)
    org_kde_kwin_fake_input_touch_motion(input_, kTouchId, fixed_x, fixed_y);
  else
    org_kde_kwin_fake_input_touch_down(input_, kTouchId, fixed_x, fixed_y);
  org_kde_kwin_fake_input_touch_frame(input_);
  touching_ = true;
}

void KdeTarget::lift_touch() {
  if (!touching_) return;
  org_kde_kwin_fake_input_touch_up(input_, kTouchId);
  org_kde_kwin_fake_input_touch_frame(input_);
  touching_ = false;
}

ScreenExtent KdeTarget::screen() const {
  std::vector<platform::wayland::OutputPlace> places;
  for (const Connection::Output* output : connection_->outputs()) places.push_back(output->place);
  const platform::wayland::LayoutBox box = platform::wayland::bounding_box(places);
  return {box.width, box.height};
}

void KdeTarget::flush() {
  if (wheel_clicks_ != 0) {
    org_kde_kwin_fake_input_axis(input_, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                 wl_fixed_from_double(wheel_clicks_ * kWheelClickDistance));
    wheel_clicks_ = 0;
  }
  // Takes in what the compositor said (outputs coming and going) without waiting for it.
  wl_display* display = connection_->display();
  while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
  pollfd ready{wl_display_get_fd(display), POLLIN, 0};
  if (poll(&ready, 1, 0) > 0)
    wl_display_read_events(display);
  else
    wl_display_cancel_read(display);
  wl_display_dispatch_pending(display);
  wl_display_flush(display);
  if (const int error = wl_display_get_error(display)) {
    // The connection is gone for good: nothing can be released any more.
    std::fprintf(stderr, "tapline-device: lost the Wayland display %s: %s\n",
                 display_name().c_str(), std::strerror(error));
    std::exit(1);
  }
}

}  // namespace tapline::device
