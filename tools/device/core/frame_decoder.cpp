#include "core/frame_decoder.h"

#include <cstdio>
#include <cstring>

namespace tapline::device {
namespace {

constexpr std::array<const char*, kFrameFaultCount> kFaultNames{
    "short", "wrong header", "wrong length", "bad checksum", "unknown type", "wrong report length"};

ReportFields decode_fields(ReportType type, const uint8_t* report) {
  switch (type) {
    case ReportType::Keyboard:
      return KeyboardFields::read(report);
    case ReportType::Mouse:
      return MouseFields::read(report);
    case ReportType::AbsoluteMouse:
      return AbsoluteMouseFields::read(report);
    case ReportType::Joystick:
      return JoystickFields::read(report);
    case ReportType::Consumer:
      return ConsumerFields::read(report);
    case ReportType::SystemControl:
      return SystemControlFields::read(report);
    case ReportType::Touch:
      return TouchFields::read(report);
    case ReportType::DeviceCommand:
      return DeviceCommandFields::read(report);
  }
  return KeyboardFields{};
}

template <typename... Args>
DecodeResult fault(FrameFault reason, const char* format, Args... args) {
  DecodeResult result;
  result.fault = reason;
  std::snprintf(result.detail.data(), result.detail.size(), format, args...);
  return result;
}

}  // namespace

const char* fault_name(FrameFault fault) { return kFaultNames[static_cast<size_t>(fault)]; }

DecodeResult decode_datagram(const uint8_t* data, size_t size) {
  if (size < kFrameHeadSize)
    return fault(FrameFault::Short, "%zu byte%s, a frame has at least its %zu-byte head", size,
                 size == 1 ? "" : "s", kFrameHeadSize);
  if (data[kFrameHeaderAt] != kFrameHeader)
    return fault(FrameFault::WrongHeader, "first byte is 0x%02x, a frame starts with 0x%02x",
                 data[kFrameHeaderAt], kFrameHeader);
  const size_t carried = size - kFrameHeadSize;
  if (data[kFrameLengthAt] != carried)
    return fault(FrameFault::WrongLength,
                 "length byte says %u report bytes, the datagram carries %zu", data[kFrameLengthAt],
                 carried);
  // From here the datagram is no longer than kLongestFrame, so all of it is in `data`.
  const uint8_t type_byte = data[kFrameTypeAt];
  const uint8_t* report = data + kFrameHeadSize;
  const uint8_t sum = frame_checksum(type_byte, report, carried);
  if (data[kFrameChecksumAt] != sum)
    return fault(FrameFault::BadChecksum,
                 "checksum byte is 0x%02x, type byte and report add up to 0x%02x",
                 data[kFrameChecksumAt], sum);
  // Bit 5 is never set by a sender, so it is kept in the code and makes it unknown.
  const uint8_t code = type_byte & (kTypeCodeBits | kUnusedTypeBit);
  const size_t expected = report_length(code);
  if (expected == 0)
    return fault(FrameFault::UnknownType, "type byte 0x%02x names report type %u, which is unknown",
                 type_byte, code);
  if (carried != expected)
    return fault(FrameFault::WrongReportLength, "a %s report is %zu bytes, this one has %zu",
                 report_type_name(code), expected, carried);

  DecodeResult result;
  result.ok = true;
  Frame& frame = result.frame;
  frame.type_byte = type_byte;
  frame.channel = type_channel(type_byte);
  frame.type = static_cast<ReportType>(code);
  frame.report_length = static_cast<uint8_t>(carried);
  std::memcpy(frame.report.data(), report, carried);
  frame.fields = decode_fields(frame.type, frame.report.data());
  return result;
}

}  // namespace tapline::device
