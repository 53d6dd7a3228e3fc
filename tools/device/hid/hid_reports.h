// The device's HID functions as the computer sees them: their report descriptors, the
// input report that presents each frame, the keyboard's LED output report and the
// answers to the computer's report requests. The USB gadget (gadget/, and through
// `tapline-device --report-descriptors` the gadget-setup script) and the kernel's uhid
// devices (uhid/) both present these, so that the two are one device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "core/frame_decoder.h"

namespace tapline::device {

// The HID functions, in the gadget's interface order.
enum class HidFunction : uint8_t { Keyboard, Pointer, Touch, Command };
inline constexpr size_t kHidFunctionCount = 4;
// Keyboard, pointer and touch: the functions that carry input to the computer.
inline constexpr size_t kInputFunctionCount = 3;

// Report ids inside the functions that carry more than one report.
inline constexpr uint8_t kRelativeMouseReportId = 1;
inline constexpr uint8_t kAbsoluteMouseReportId = 2;
inline constexpr uint8_t kJoystickReportId = 3;
inline constexpr uint8_t kTouchReportId = 1;
inline constexpr uint8_t kConsumerReportId = 2;
inline constexpr uint8_t kSystemControlReportId = 3;
inline constexpr size_t kTouchContacts = 2;
// The command function's reports: 64 bytes each way, no report id.
inline constexpr size_t kCommandReportSize = 64;

struct HidLayout {
  const char* name;  // "keyboard", "pointer", "touch", "command"
  std::span<const uint8_t> descriptor;
  uint8_t report_length;  // the longest input report, its report id included
  uint8_t subclass;       // 1 and 1: a boot protocol keyboard
  uint8_t protocol;
  bool numbered;  // its reports start with a report id
};
const HidLayout& hid_layout(HidFunction function);

// One input report for one of the functions.
struct HidReport {
  HidFunction function;
  std::array<uint8_t, 16> bytes;
  size_t size;
};

// Turns frames into the input reports of the functions. Touch contacts 0 and 1 are
// remembered, because each touch report carries both.
class HidReports {
 public:
  // The reports that present `frame` (none for device commands and unknown contacts),
  // written into `out`; returns how many.
  size_t reports_for(const Frame& frame, std::array<HidReport, 2>& out);
  // The reports that lift every key, button and contact.
  size_t releases(std::array<HidReport, 6>& out) const;

 private:
  HidReport touch_report() const;

  struct Contact {
    bool down = false;
    uint16_t x = 0;
    uint16_t y = 0;
  };
  std::array<Contact, kTouchContacts> contacts_{};
  uint16_t absolute_x_ = 0;
  uint16_t absolute_y_ = 0;
};

// The lock lights an output report of `function` sets (kLedNumLock and the rest of
// core/device_state.h), or false when it is not the keyboard's LED report.
bool leds_of_output_report(HidFunction function, std::span<const uint8_t> report, uint8_t& leds);

// The answer to the computer's GET_REPORT for `report_id`, as the gadget gives it: the
// function's longest report, all zero but for the report id. Returns its size.
size_t get_report_answer(HidFunction function, uint8_t report_id, std::span<uint8_t> out);

// "keyboard 8 1 1 05 01 09 06 ...": each function's name, report length, subclass,
// protocol and descriptor in hexadecimal, one line each, for scripts/gadget-setup.
void write_report_descriptors(std::FILE* out);

}  // namespace tapline::device
