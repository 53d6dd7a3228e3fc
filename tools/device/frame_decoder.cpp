#include "frame_decoder.h"

#include <cstdio>
#include <cstring>

namespace tapline::device {
namespace {

constexpr std::array<const char*, kFrameFaultCount> kFaultNames{
    "short", "wrong header", "wrong length", "bad checksum", "unknown type", "wrong report length"};

uint16_t little_endian16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

ReportFields decode_fields(ReportType type, const uint8_t* r) {
  switch (type) {
    case ReportType::Keyboard:
      return KeyboardFields{r[0], {r[2], r[3], r[4], r[5], r[6], r[7]}};
    case ReportType::Mouse:
      return MouseFields{r[0], static_cast<int8_t>(r[1]), static_cast<int8_t>(r[2]),
                         static_cast<int8_t>(r[3])};
    case ReportType::AbsoluteMouse:
      return AbsoluteMouseFields{r[0], static_cast<int8_t>(r[1]), little_endian16(r + 2),
                                 little_endian16(r + 4)};
    case ReportType::Joystick:
      return JoystickFields{little_endian16(r)};
    case ReportType::Consumer:
      return ConsumerFields{little_endian16(r)};
    case ReportType::SystemControl:
      return SystemControlFields{r[0]};
    case ReportType::Touch:
      return TouchFields{r[0], r[1], little_endian16(r + 2), little_endian16(r + 4)};
    case ReportType::DeviceCommand:
      return DeviceCommandFields{r[0], r[1]};
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
  if (data[0] != kFrameHeader)
    return fault(FrameFault::WrongHeader, "first byte is 0x%02x, a frame starts with 0x%02x",
                 data[0], kFrameHeader);
  const size_t carried = size - kFrameHeadSize;
  if (data[1] != carried)
    return fault(FrameFault::WrongLength,
                 "length byte says %u report bytes, the datagram carries %zu", data[1], carried);
  // From here the datagram is no longer than kLongestFrame, so all of it is in `data`.
  const uint8_t type_byte = data[3];
  const uint8_t* report = data + kFrameHeadSize;
  uint8_t sum = type_byte;
  for (size_t i = 0; i < carried; ++i) sum = static_cast<uint8_t>(sum + report[i]);
  if (data[2] != sum)
    return fault(FrameFault::BadChecksum,
                 "checksum byte is 0x%02x, type byte and report add up to 0x%02x", data[2], sum);
  // Bit 5 is never set by a sender, so it is kept in the code and makes it unknown.
  const uint8_t code = type_byte & 0x3F;
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
  frame.channel = static_cast<uint8_t>(type_byte >> 6);
  frame.type = static_cast<ReportType>(code);
  frame.report_length = static_cast<uint8_t>(carried);
  std::memcpy(frame.report.data(), report, carried);
  frame.fields = decode_fields(frame.type, frame.report.data());
  return result;
}

}  // namespace tapline::device
