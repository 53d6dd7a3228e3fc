// The screen of a GNOME (mutter) desktop through mutter's own screen cast service, which
// asks the person nothing.
#pragma once

#include <memory>
#include <string>

#include "platform/screen_source.h"

namespace tapline::platform {

// The D-Bus name of mutter's screen cast service.
constexpr const char* kMutterScreenCastName = "org.gnome.Mutter.ScreenCast";

}  // namespace tapline::platform
