// The command frame and the send path: every report leaves through makeHid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/command_lock.h"
#include "tapline.h"

namespace tapline {

// The public header's report type codes, typed for the command layer.
enum class ReportType : uint8_t {
  Keyboard = TAPLINE_REPORT_KEYBOARD,
  Consumer = TAPLINE_REPORT_CONSUMER,
  SystemControl = TAPLINE_REPORT_SYSTEM_CONTROL,
  Joystick = TAPLINE_REPORT_JOYSTICK,
  Mouse = TAPLINE_REPORT_MOUSE,
  AbsoluteMouse = TAPLINE_REPORT_ABSOLUTE_MOUSE,
  Touch = TAPLINE_REPORT_TOUCH,
  DeviceCommand = TAPLINE_REPORT_DEVICE_COMMAND,
};

inline constexpr uint8_t kFrameHeader = 0x2C;
inline constexpr size_t kFrameHeadSize = 4;
// The frame length travels in 8 bits, so reports of 252 bytes or more cannot be framed.
inline constexpr size_t kMaxReportLength = 251;

// Report length of each type, indexed by code; 0 for codes not in use.
size_t report_length(uint8_t report_type);
const char* report_type_name(uint8_t report_type);

// The current output channel (process-wide, initially 1).
uint8_t output_channel();

// Builds the frame of a report for the given output channel (its low two bits) and hands
// it to the SendCallback: makeHid with a channel of the caller's choosing. 1 when a
// callback was called, 0 when none is installed or the report is too long.
int send_report_on_channel(uint8_t channel, uint8_t report_type, const uint8_t* report,
                           size_t length);

// Typed convenience over makeHid for the command layer.
inline int send_report(ReportType type, const uint8_t* report, size_t length) {
  return makeHid(static_cast<int>(type), report, static_cast<int>(length));
}

}  // namespace tapline
