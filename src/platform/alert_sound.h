// The desktop's default alert sound.
#pragma once

namespace tapline::platform {

// Rings the X11 bell when a display can be used, else the terminal bell on standard error.
void alert_sound();

}  // namespace tapline::platform
