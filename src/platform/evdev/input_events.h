// Host key, mouse-button and wheel events from the input devices under /dev/input (evdev),
// for desktops whose window system does not share them (Wayland) and for machines without
// one.
#pragma once

#include <memory>
#include <string>

#include "platform/input_events.h"

namespace tapline::platform {

// Listens on a thread of its own to every keyboard, mouse and touchpad, following devices
// as they come and go. The devices know no screen positions: buttons and wheel steps come
// with x and y -1, and a listener that asks for pointer moves is refused. nullptr, with the
// reason in `unavailable`, also when the devices cannot be read.
std::unique_ptr<InputListener> listen_to_evdev_input(InputSink sink, void* context,
                                                     const InputListenOptions& options,
                                                     std::string& unavailable);

}  // namespace tapline::platform
