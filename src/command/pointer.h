// Relative and absolute mouse, joystick, consumer keys, system power and device commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tapline.h"

namespace tapline {

inline constexpr size_t kPointerReportSize = 7;  // mouse, absolute mouse, joystick, consumer
inline constexpr size_t kDeviceCommandReportSize = 16;

inline constexpr int kMousePauseMs = 2;
inline constexpr int kJoystickPauseMs = 5;
inline constexpr int kConsumerPauseMs = 10;

inline constexpr uint8_t kMouseLeft = 0x01;
inline constexpr uint8_t kMouseRight = 0x02;
inline constexpr uint8_t kMouseMiddle = 0x04;

inline constexpr uint16_t kUsageVolumeUp = 0x00E9;
inline constexpr uint16_t kUsageVolumeDown = 0x00EA;
inline constexpr uint16_t kUsageHome = 0x0223;
inline constexpr uint16_t kUsageMenu = 0x0040;
inline constexpr uint16_t kUsageBack = 0x0224;

inline constexpr uint8_t kSystemPowerDown = 1;
inline constexpr uint8_t kSystemSleep = 2;

inline constexpr uint16_t kAbsoluteRange = 4095;

// Sends a 7-byte consumer or system-control report carrying `value` little-endian in its
// first two bytes; the result of makeHid.
int send_consumer_report(uint16_t value);
int send_system_control(uint8_t request);

}  // namespace tapline
