// The command frame and the send path: every report leaves through makeHid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "command/reports.h"
#include "tapline.h"

namespace tapline {

inline constexpr uint8_t kFrameHeader = 0x2C;
inline constexpr size_t kFrameHeadSize = 4;
// The frame length travels in 8 bits, so reports of 252 bytes or more cannot be framed.
inline constexpr size_t kMaxReportLength = 251;

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
