// The screen of a GNOME (mutter) desktop through mutter's own screen cast service, which
// asks the person nothing.
#pragma once

#include <memory>
#include <string>

#include "platform/screen_source.h"

namespace tapline::platform {

// The D-Bus name of mutter's screen cast service.
constexpr const char* kMutterScreenCastName = "org.gnome.Mutter.ScreenCast";

// Records every monitor (the screen is their layout's bounding box) with the cursor as
// metadata. nullptr with the reason and the fix in `why_not` when that cannot be done.
std::unique_ptr<ScreenSource> open_mutter_screen(std::string& why_not);

}  // namespace tapline::platform
