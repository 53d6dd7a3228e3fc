// The reports the device understands: their type codes and lengths, the type byte that
// carries a report's type and output channel, and each report's layout (byte offsets,
// field values) with the reading and writing of its fields. The encoders of the command
// layer, the held-input tracker and the software device all go through these.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "tapline.h"

namespace tapline {

// ---- Report types and the type byte ----------------------------------------------------

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

struct ReportTypeInfo {
  const char* name;
  size_t length;
};

// Name and report length of each type, indexed by code; code 0 is not in use.
inline constexpr std::array<ReportTypeInfo, 9> kReportTypes{{
    {nullptr, 0},
    {"Keyboard", 8},
    {"Consumer", 7},
    {"SystemControl", 7},
    {"Joystick", 7},
    {"Mouse", 7},
    {"AbsoluteMouse", 7},
    {"Touch", 6},
    {"DeviceCommand", 16},
}};
inline constexpr size_t kReportTypeCount = kReportTypes.size();

// Report length of a type code; 0 for codes not in use.
constexpr size_t report_length(uint8_t code) {
  return code < kReportTypes.size() ? kReportTypes[code].length : 0;
}
constexpr size_t report_length(ReportType type) {
  return report_length(static_cast<uint8_t>(type));
}
// "Keyboard", "Consumer", ...; nullptr for codes not in use.
constexpr const char* report_type_name(uint8_t code) {
  return code < kReportTypes.size() ? kReportTypes[code].name : nullptr;
}

// The longest report of any type (the device command).
inline constexpr size_t kLongestReport = [] {
  size_t longest = 0;
  for (const ReportTypeInfo& type : kReportTypes) longest = std::max(longest, type.length);
  return longest;
}();

// Type byte: bits 0-4 the report type, bit 5 always 0, bits 6-7 the output channel.
inline constexpr uint8_t kTypeCodeBits = 0x1F;
inline constexpr uint8_t kUnusedTypeBit = 0x20;
inline constexpr unsigned kChannelShift = 6;
inline constexpr size_t kChannelCount = 4;  // two channel bits

// The type byte of a report of `code` on `channel` (only its low two bits count).
constexpr uint8_t make_type_byte(uint8_t code, uint8_t channel) {
  return static_cast<uint8_t>((code & kTypeCodeBits) | (channel << kChannelShift));
}
constexpr uint8_t type_code(uint8_t type_byte) { return type_byte & kTypeCodeBits; }
constexpr uint8_t type_channel(uint8_t type_byte) {
  return static_cast<uint8_t>(type_byte >> kChannelShift);
}

// ---- Field values --------------------------------------------------------------------------

// Keyboard modifier bits: left Shift (for ShiftFlag values on a real keyboard) and left
// Alt (which Alt-code typing holds).
inline constexpr uint8_t kModifierLeftShift = 0x02;
inline constexpr uint8_t kModifierLeftAlt = 0x04;
// Bit 7 of a key slot value: the key of the low seven bits typed with Shift. The usages
// of the modifier keys themselves (left Ctrl to right GUI) have bit 7 set without it.
inline constexpr uint8_t kShiftFlag = 0x80;
inline constexpr uint8_t kFirstModifierUsage = 0xE0;
inline constexpr uint8_t kLastModifierUsage = 0xE7;

// Mouse and absolute-mouse button bits.
inline constexpr uint8_t kMouseLeft = 0x01;
inline constexpr uint8_t kMouseRight = 0x02;
inline constexpr uint8_t kMouseMiddle = 0x04;

// Positions in absolute-mouse and touch reports run from 0 to this across the target
// screen.
inline constexpr uint16_t kPositionRange = 4095;

// Consumer page usages the command layer sends by name.
inline constexpr uint16_t kUsageMenu = 0x0040;
inline constexpr uint16_t kUsageNextTrack = 0x00B5;
inline constexpr uint16_t kUsagePreviousTrack = 0x00B6;
inline constexpr uint16_t kUsagePlayPause = 0x00CD;
inline constexpr uint16_t kUsageMute = 0x00E2;
inline constexpr uint16_t kUsageVolumeUp = 0x00E9;
inline constexpr uint16_t kUsageVolumeDown = 0x00EA;
inline constexpr uint16_t kUsageHome = 0x0223;
inline constexpr uint16_t kUsageBack = 0x0224;
// What the text command "stop" sends; the page's own Stop is 0x00B7.
inline constexpr uint16_t kUsageStop = 0x02B7;

// System-control requests.
inline constexpr uint8_t kSystemPowerDown = 1;
inline constexpr uint8_t kSystemSleep = 2;

// Device command bytes (each travels with its complement).
inline constexpr uint8_t kDeviceFirmwareUpdate = 0xF3;
inline constexpr uint8_t kDeviceReboot = 0xF1;

// Touch contact numbers are one byte.
inline constexpr size_t kTouchContactCount = 256;

// ---- Layouts -------------------------------------------------------------------------------
// Each report's fields, with its byte offsets, `read` (from a whole report) and `bytes`
// (the whole report; bytes no field covers are 0). Fields of more than one byte are
// little-endian.

namespace report_bytes {
constexpr uint16_t get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
constexpr void put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
}  // namespace report_bytes

template <ReportType Type>
using ReportBytes = std::array<uint8_t, report_length(Type)>;

using KeyboardReport = ReportBytes<ReportType::Keyboard>;

struct KeyboardFields {
  static constexpr ReportType kType = ReportType::Keyboard;
  static constexpr size_t kModifiers = 0;  // byte 1 is reserved
  static constexpr size_t kFirstKeySlot = 2;
  static constexpr size_t kKeySlotCount = 6;
  using Slots = std::array<uint8_t, kKeySlotCount>;

  uint8_t modifiers;
  Slots keys;  // slot values as sent; 0 is an empty slot

  static constexpr KeyboardFields read(const uint8_t* r) {
    KeyboardFields f{r[kModifiers], {}};
    std::copy_n(r + kFirstKeySlot, kKeySlotCount, f.keys.begin());
    return f;
  }
  constexpr KeyboardReport bytes() const {
    KeyboardReport r{};
    r[kModifiers] = modifiers;
    std::copy(keys.begin(), keys.end(), r.begin() + kFirstKeySlot);
    return r;
  }
};

struct MouseFields {
  static constexpr ReportType kType = ReportType::Mouse;
  static constexpr size_t kButtons = 0;
  static constexpr size_t kWheel = 1;
  static constexpr size_t kX = 2;
  static constexpr size_t kY = 3;

  uint8_t buttons;
  int8_t wheel;
  int8_t dx;
  int8_t dy;

  static constexpr MouseFields read(const uint8_t* r) {
    return {r[kButtons], static_cast<int8_t>(r[kWheel]), static_cast<int8_t>(r[kX]),
            static_cast<int8_t>(r[kY])};
  }
  constexpr ReportBytes<kType> bytes() const {
    ReportBytes<kType> r{};
    r[kButtons] = buttons;
    r[kWheel] = static_cast<uint8_t>(wheel);
    r[kX] = static_cast<uint8_t>(dx);
    r[kY] = static_cast<uint8_t>(dy);
    return r;
  }
};

struct AbsoluteMouseFields {
  static constexpr ReportType kType = ReportType::AbsoluteMouse;
  static constexpr size_t kButtons = 0;
  static constexpr size_t kWheel = 1;
  static constexpr size_t kX = 2;  // 16 bits
  static constexpr size_t kY = 4;  // 16 bits

  uint8_t buttons;
  int8_t wheel;
  uint16_t x;  // 0..kPositionRange across the target screen
  uint16_t y;  // 0..kPositionRange down the target screen

  static constexpr AbsoluteMouseFields read(const uint8_t* r) {
    return {r[kButtons], static_cast<int8_t>(r[kWheel]), report_bytes::get16(r + kX),
            report_bytes::get16(r + kY)};
  }
  constexpr ReportBytes<kType> bytes() const {
    ReportBytes<kType> r{};
    r[kButtons] = buttons;
    r[kWheel] = static_cast<uint8_t>(wheel);
    report_bytes::put16(r.data() + kX, x);
    report_bytes::put16(r.data() + kY, y);
    return r;
  }
};

struct JoystickFields {
  static constexpr ReportType kType = ReportType::Joystick;
  static constexpr size_t kButtons = 0;  // 16 bits

  uint16_t buttons;  // bit n is button n

  static constexpr JoystickFields read(const uint8_t* r) {
    return {report_bytes::get16(r + kButtons)};
  }
  constexpr ReportBytes<kType> bytes() const {
    ReportBytes<kType> r{};
    report_bytes::put16(r.data() + kButtons, buttons);
    return r;
  }
};

struct ConsumerFields {
  static constexpr ReportType kType = ReportType::Consumer;
  static constexpr size_t kUsage = 0;  // 16 bits

  uint16_t usage;  // Consumer page usage, 0 = no key

  static constexpr ConsumerFields read(const uint8_t* r) {
    return {report_bytes::get16(r + kUsage)};
  }
  constexpr ReportBytes<kType> bytes() const {
    ReportBytes<kType> r{};
    report_bytes::put16(r.data() + kUsage, usage);
    return r;
  }
};

struct SystemControlFields {
  static constexpr ReportType kType = ReportType::SystemControl;
  static constexpr size_t kRequest = 0;

  uint8_t request;  // kSystemPowerDown, kSystemSleep

  static constexpr SystemControlFields read(const uint8_t* r) { return {r[kRequest]}; }
  constexpr ReportBytes<kType> bytes() const {
    ReportBytes<kType> r{};
    r[kRequest] = request;
    return r;
  }
};

struct TouchFields {
  static constexpr ReportType kType = ReportType::Touch;
  static constexpr size_t kState = 0;
  static constexpr size_t kContact = 1;
  static constexpr size_t kX = 2;  // 16 bits
  static constexpr size_t kY = 4;  // 16 bits

  uint8_t state;    // 0 lifted, anything else touching
  uint8_t contact;  // finger number
  uint16_t x;       // 0..kPositionRange across the touch area
  uint16_t y;

  static constexpr TouchFields read(const uint8_t* r) {
    return {r[kState], r[kContact], report_bytes::get16(r + kX), report_bytes::get16(r + kY)};
  }
  constexpr ReportBytes<kType> bytes() const {
    ReportBytes<kType> r{};
    r[kState] = state;
    r[kContact] = contact;
    report_bytes::put16(r.data() + kX, x);
    report_bytes::put16(r.data() + kY, y);
    return r;
  }
};

struct DeviceCommandFields {
  static constexpr ReportType kType = ReportType::DeviceCommand;
  static constexpr size_t kCommand = 0;
  static constexpr size_t kComplement = 1;

  uint8_t command;
  uint8_t complement;  // the command byte inverted when the command is well formed

  static constexpr DeviceCommandFields read(const uint8_t* r) {
    return {r[kCommand], r[kComplement]};
  }
  constexpr ReportBytes<kType> bytes() const {
    ReportBytes<kType> r{};
    r[kCommand] = command;
    r[kComplement] = complement;
    return r;
  }
};

}  // namespace tapline
