// Host key and mouse events from an X11 display, through XInput 2 raw events on the root
// window.
#pragma once

#include <memory>
#include <string>

#include "platform/input_events.h"

namespace tapline::platform {

// Opens a connection of its own to the display named by DISPLAY and listens there on a
// thread of its own. nullptr, with the reason in `unavailable`, when there is no display
// or the server lacks XInput 2.1.
std::unique_ptr<InputListener> listen_to_x11_input(InputSink sink, void* context,
                                                   const InputListenOptions& options,
                                                   std::string& unavailable);

}  // namespace tapline::platform
