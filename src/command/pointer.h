// Relative and absolute mouse, joystick, consumer keys, system power and device commands.
#pragma once

#include <cstdint>

#include "command/reports.h"
#include "tapline.h"

namespace tapline {

inline constexpr int kMousePauseMs = 2;
inline constexpr int kJoystickPauseMs = 5;
inline constexpr int kConsumerPauseMs = 10;

// The release that follows every consumer key: the pause, then a report without usage.
// The result of makeHid.
int release_consumer();

}  // namespace tapline
