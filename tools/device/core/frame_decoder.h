// Validates one received datagram as a command frame and decodes its report.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>

#include "command/frame.h"

namespace tapline::device {

// Why a datagram is not a frame the device accepts. Exactly one reason per datagram: the
// checks run in the order listed and the first failing one is reported.
enum class FrameFault : uint8_t {
  Short,              // fewer bytes than the 4-byte frame head
  WrongHeader,        // first byte is not 0x2C
  WrongLength,        // length byte differs from the datagram length minus the head
  BadChecksum,        // checksum byte differs from type byte + report bytes mod 256
  UnknownType,        // type byte names no known report type (or sets bit 5)
  WrongReportLength,  // report length differs from the fixed length of its type
};
inline constexpr size_t kFrameFaultCount = 6;

// "short", "wrong header", ... : the reason as one short phrase.
const char* fault_name(FrameFault fault);

// The fields of the frame's report, by its type (see command/reports.h).
using ReportFields =
    std::variant<KeyboardFields, MouseFields, AbsoluteMouseFields, JoystickFields, ConsumerFields,
                 SystemControlFields, TouchFields, DeviceCommandFields>;

struct Frame {
  uint8_t type_byte = 0;
  uint8_t channel = 0;  // bits 6-7 of the type byte
  ReportType type = ReportType::Keyboard;
  uint8_t report_length = 0;
  std::array<uint8_t, kLongestReport> report{};  // longer frames never validate
  ReportFields fields;
};

struct DecodeResult {
  bool ok = false;
  FrameFault fault = FrameFault::Short;  // meaningful when !ok
  Frame frame;                           // meaningful when ok
  // When !ok: one sentence saying what was found and what was expected.
  std::array<char, 128> detail{};
};

// Frames are at most this long (the length byte is 8 bits).
inline constexpr size_t kLongestFrame = kFrameHeadSize + 255;

// `size` is the datagram's real length; `data` holds at least min(size, kLongestFrame)
// of its bytes, so a datagram cut short by a receive buffer of kLongestFrame bytes or
// more is still judged, and reported, by its true length.
DecodeResult decode_datagram(const uint8_t* data, size_t size);

}  // namespace tapline::device
