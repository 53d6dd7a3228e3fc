#include "hid/hid_reports.h"

#include <algorithm>
#include <variant>

#include "core/device_state.h"
#include "core/usage_names.h"

namespace tapline::device {
namespace {

// A boot protocol keyboard: modifiers, a reserved byte, six keys; the five lock lights
// as its output report, so that the computer tells the device its lock state.
constexpr uint8_t kKeyboardDescriptor[] = {
    0x05, 0x01, 0x09, 0x06, 0xa1, 0x01,                                // keyboard
    0x05, 0x07, 0x19, 0xe0, 0x29, 0xe7, 0x15, 0x00, 0x25, 0x01, 0x75,  // modifiers
    0x01, 0x95, 0x08, 0x81, 0x02,                                      //
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,                                // reserved
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,  // LEDs
    0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01,                          // padding
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x26, 0xff, 0x00, 0x05, 0x07,  // keys
    0x19, 0x00, 0x2a, 0xff, 0x00, 0x81, 0x00, 0xc0};
// Each application collection becomes an input device of its own on the computer, so
// the absolute mouse is a pointer, not a second mouse.
constexpr uint8_t kPointerDescriptor[] = {
    // 1: mouse, three buttons, X, Y, wheel
    0x05, 0x01, 0x09, 0x02, 0xa1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xa1, 0x00, 0x05, 0x09, 0x19, 0x01,
    0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
    0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7f, 0x75, 0x08,
    0x95, 0x03, 0x81, 0x06, 0xc0, 0xc0,
    // 2: absolute pointer, three buttons, X and Y 0..4095, wheel
    0x05, 0x01, 0x09, 0x01, 0xa1, 0x01, 0x85, 0x02, 0x09, 0x01, 0xa1, 0x00, 0x05, 0x09, 0x19, 0x01,
    0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
    0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x00, 0x26, 0xff, 0x0f, 0x75, 0x10, 0x95,
    0x02, 0x81, 0x02, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7f, 0x75, 0x08, 0x95, 0x01, 0x81, 0x06, 0xc0,
    0xc0,
    // 3: joystick, sixteen buttons
    0x05, 0x01, 0x09, 0x04, 0xa1, 0x01, 0x85, 0x03, 0x05, 0x09, 0x19, 0x01, 0x29, 0x10, 0x15, 0x00,
    0x25, 0x01, 0x75, 0x01, 0x95, 0x10, 0x81, 0x02, 0xc0};
#define TAPLINE_TOUCH_FINGER                                                                      \
  0x09, 0x22, 0xa1, 0x02, 0x09, 0x42, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02, \
      0x95, 0x07, 0x81, 0x01, 0x09, 0x51, 0x25, 0x0f, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x05,   \
      0x01, 0x09, 0x30, 0x09, 0x31, 0x26, 0xff, 0x0f, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02, 0x05,   \
      0x0d, 0xc0
// The touch screen needs the computer's multi-touch driver, which takes the consumer and
// system controls beside it but no mouse or joystick.
constexpr uint8_t kTouchDescriptor[] = {
    // 1: touch screen, two contacts (tip, contact id, X, Y) and the contact count
    0x05, 0x0d, 0x09, 0x04, 0xa1, 0x01, 0x85, 0x01, TAPLINE_TOUCH_FINGER, TAPLINE_TOUCH_FINGER,
    0x09, 0x54, 0x25, 0x02, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xc0,
    // 2: consumer control, one 16-bit usage
    0x05, 0x0c, 0x09, 0x01, 0xa1, 0x01, 0x85, 0x02, 0x15, 0x00, 0x26, 0xff, 0x03, 0x19, 0x00, 0x2a,
    0xff, 0x03, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xc0,
    // 3: system control: power down, sleep
    0x05, 0x01, 0x09, 0x80, 0xa1, 0x01, 0x85, 0x03, 0x19, 0x81, 0x29, 0x83, 0x15, 0x01, 0x25, 0x03,
    0x75, 0x08, 0x95, 0x01, 0x81, 0x00, 0xc0};
#undef TAPLINE_TOUCH_FINGER
// 64-byte input and output reports of a vendor-defined usage page.
constexpr uint8_t kCommandDescriptor[] = {0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x09, 0x02,
                                          0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08, 0x95, 0x40,
                                          0x81, 0x02, 0x09, 0x03, 0x15, 0x00, 0x26, 0xff, 0x00,
                                          0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xc0};

constexpr HidLayout kLayouts[kHidFunctionCount] = {
    {"keyboard", kKeyboardDescriptor, 8, 1, 1, false},
    {"pointer", kPointerDescriptor, 7, 0, 0, true},
    {"touch", kTouchDescriptor, 14, 0, 0, true},
    {"command", kCommandDescriptor, kCommandReportSize, 0, 0, false},
};

template <typename... Bytes>
HidReport report_of(HidFunction function, Bytes... bytes) {
  HidReport report{function, {static_cast<uint8_t>(bytes)...}, sizeof...(bytes)};
  return report;
}

// A usage that stands for a key typed with Shift becomes that key with the Shift bit.
HidReport keyboard_report(const KeyboardFields& keyboard) {
  HidReport report{HidFunction::Keyboard, {keyboard.modifiers, 0}, 8};
  for (size_t slot = 0; slot < keyboard.keys.size(); ++slot) {
    uint8_t value = keyboard.keys[slot];
    if (has_shift_flag(value)) {
      report.bytes[KeyboardFields::kModifiers] |= kModifierLeftShift;
      value &= static_cast<uint8_t>(~kShiftFlag);
    }
    report.bytes[KeyboardFields::kFirstKeySlot + slot] = value;
  }
  return report;
}

}  // namespace

const HidLayout& hid_layout(HidFunction function) {
  return kLayouts[static_cast<size_t>(function)];
}

size_t HidReports::reports_for(const Frame& frame, std::array<HidReport, 2>& out) {
  const ReportFields& fields = frame.fields;
  if (const auto* keyboard = std::get_if<KeyboardFields>(&fields)) {
    out[0] = keyboard_report(*keyboard);
    return 1;
  }
  if (const auto* mouse = std::get_if<MouseFields>(&fields)) {
    out[0] = report_of(HidFunction::Pointer, kRelativeMouseReportId, mouse->buttons & 0x07,
                       mouse->dx, mouse->dy, mouse->wheel);
    return 1;
  }
  if (const auto* absolute = std::get_if<AbsoluteMouseFields>(&fields)) {
    absolute_x_ = absolute->x;
    absolute_y_ = absolute->y;
    out[0] =
        report_of(HidFunction::Pointer, kAbsoluteMouseReportId, absolute->buttons & 0x07,
                  absolute->x, absolute->x >> 8, absolute->y, absolute->y >> 8, absolute->wheel);
    return 1;
  }
  if (const auto* joystick = std::get_if<JoystickFields>(&fields)) {
    out[0] = report_of(HidFunction::Pointer, kJoystickReportId, joystick->buttons,
                       joystick->buttons >> 8);
    return 1;
  }
  if (const auto* consumer = std::get_if<ConsumerFields>(&fields)) {
    out[0] =
        report_of(HidFunction::Touch, kConsumerReportId, consumer->usage, consumer->usage >> 8);
    return 1;
  }
  if (const auto* system = std::get_if<SystemControlFields>(&fields)) {
    // The host sends no release after a power request; the key is let go at once.
    out[0] = report_of(HidFunction::Touch, kSystemControlReportId, system->request);
    out[1] = report_of(HidFunction::Touch, kSystemControlReportId, 0);
    return 2;
  }
  if (const auto* touch = std::get_if<TouchFields>(&fields)) {
    if (touch->contact >= kTouchContacts) return 0;
    Contact& contact = contacts_[touch->contact];
    contact.down = touch->state != 0;
    // A lift carries no position; the contact leaves where it was.
    if (contact.down) {
      contact.x = touch->x;
      contact.y = touch->y;
    }
    out[0] = touch_report();
    return 1;
  }
  return 0;  // device commands: nothing for the computer to see
}

HidReport HidReports::touch_report() const {
  HidReport report{HidFunction::Touch, {kTouchReportId}, 0};
  size_t at = 1;
  for (size_t number = 0; number < kTouchContacts; ++number) {
    const Contact& contact = contacts_[number];
    report.bytes[at++] = contact.down ? 1 : 0;
    report.bytes[at++] = static_cast<uint8_t>(number);
    report.bytes[at++] = static_cast<uint8_t>(contact.x);
    report.bytes[at++] = static_cast<uint8_t>(contact.x >> 8);
    report.bytes[at++] = static_cast<uint8_t>(contact.y);
    report.bytes[at++] = static_cast<uint8_t>(contact.y >> 8);
  }
  // Both contacts are in every report, touching or not.
  report.bytes[at++] = kTouchContacts;
  report.size = at;
  return report;
}

size_t HidReports::releases(std::array<HidReport, 6>& out) const {
  out[0] = report_of(HidFunction::Keyboard, 0, 0, 0, 0, 0, 0, 0, 0);
  out[1] = report_of(HidFunction::Pointer, kRelativeMouseReportId, 0, 0, 0, 0);
  out[2] = report_of(HidFunction::Pointer, kAbsoluteMouseReportId, 0, absolute_x_, absolute_x_ >> 8,
                     absolute_y_, absolute_y_ >> 8, 0);
  out[3] = report_of(HidFunction::Pointer, kJoystickReportId, 0, 0);
  out[4] = report_of(HidFunction::Touch, kConsumerReportId, 0, 0);
  HidReports lifted = *this;
  for (Contact& contact : lifted.contacts_) contact.down = false;
  out[5] = lifted.touch_report();
  return out.size();
}

bool leds_of_output_report(HidFunction function, std::span<const uint8_t> report, uint8_t& leds) {
  // The keyboard's only output report: one byte, no report id; hidraw writers put the
  // report id 0 before it, which the kernel passes on to uhid.
  if (function != HidFunction::Keyboard) return false;
  if (report.size() == 2 && report[0] == 0) report = report.subspan(1);
  if (report.size() != 1) return false;
  leds = report[0] & kAllLeds;
  return true;
}

size_t get_report_answer(HidFunction function, uint8_t report_id, std::span<uint8_t> out) {
  const HidLayout& layout = hid_layout(function);
  const size_t size = std::min(out.size(), size_t{layout.report_length});
  std::fill_n(out.begin(), size, uint8_t{0});
  if (layout.numbered && size > 0) out[0] = report_id;
  return size;
}

void write_report_descriptors(std::FILE* out) {
  for (const HidLayout& layout : kLayouts) {
    std::fprintf(out, "%s %u %u %u", layout.name, layout.report_length, layout.subclass,
                 layout.protocol);
    for (const uint8_t byte : layout.descriptor) std::fprintf(out, " %02x", byte);
    std::fputc('\n', out);
  }
}

}  // namespace tapline::device
