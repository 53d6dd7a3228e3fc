// Which desktop the host services talk to: X11 or Wayland. TAPLINE_DESKTOP chooses
// ("x11", "wayland", or "auto", the default: Wayland when WAYLAND_DISPLAY is set, since an
// X11 connection in a Wayland session reaches only Xwayland).
#pragma once

#include <string>

namespace tapline::platform {

enum class Desktop { x11, wayland };

struct DesktopChoice {
  Desktop desktop = Desktop::x11;
  bool chosen_by_setting = false;  // TAPLINE_DESKTOP named it
};

// Decided once per process; an unknown TAPLINE_DESKTOP is said once on standard error and
// counts as auto.
DesktopChoice desktop_choice();

// True when WAYLAND_DISPLAY names a compositor (is set and not empty).
bool wayland_session();

// The Wayland socket as clients name it: WAYLAND_DISPLAY's last part, "wayland-0" unset.
std::string wayland_socket_name();

}  // namespace tapline::platform
