// The host's key state read from its input devices (evdev), for desktops whose window
// system does not share it (Wayland) and for machines without one.
#pragma once

#include "platform/key_state.h"

namespace tapline::platform {

// Reads the keys held and the lock lights lit on any keyboard, mouse or touchpad under
// /dev/input, following devices as they come and go. Opened on first use; without read
// access to the devices (the input group) that is said once on standard error and every
// key reads as up and not toggled.
KeyStateSource& evdev_key_state();

}  // namespace tapline::platform
