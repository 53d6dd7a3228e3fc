// The command frame and the send path: every report leaves through makeHid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "command/reports.h"
#include "system/command_lock.h"
#include "tapline.h"

namespace tapline {

// The frame head: the header byte, the report length, the checksum and the type byte;
// the report follows it.
inline constexpr size_t kFrameHeaderAt = 0;
inline constexpr size_t kFrameLengthAt = 1;
inline constexpr size_t kFrameChecksumAt = 2;
inline constexpr size_t kFrameTypeAt = 3;
inline constexpr size_t kFrameHeadSize = 4;
inline constexpr uint8_t kFrameHeader = 0x2C;
// The frame length travels in 8 bits, so reports of 252 bytes or more cannot be framed.
inline constexpr size_t kMaxReportLength = 251;

// The checksum byte: the type byte plus every report byte, modulo 256.
constexpr uint8_t frame_checksum(uint8_t type_byte, const uint8_t* report, size_t length) {
  uint8_t sum = type_byte;
  for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + report[i]);
  return sum;
}

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

// Sends the report of these fields (MouseFields, TouchFields, ...) through makeHid.
template <typename Fields>
int send_fields(const Fields& fields) {
  const auto report = fields.bytes();
  return send_report(Fields::kType, report.data(), report.size());
}

}  // namespace tapline
