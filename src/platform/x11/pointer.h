// The pointer as the X11 server named by DISPLAY sees it, for a Wayland desktop whose
// compositor tells no client where the pointer is. Xwayland follows the pointer only
// while it is over one of Xwayland's windows; elsewhere its position is stale.
#pragma once

#include <optional>

#include "image/pixels.h"

namespace tapline::platform {

// The pointer's root position while it is over a window of the X11 server, else empty
// (also when there is no server). Uses a quiet connection of its own, opened once.
std::optional<image::Point> x11_pointer_over_window();

}  // namespace tapline::platform
