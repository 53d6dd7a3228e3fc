#include "command/held_inputs.h"

#include <algorithm>
#include <cstring>

#include "command/frame.h"

namespace tapline {
namespace {

std::array<HeldInputs, kChannelCount> held;

// The report's bytes, zero beyond what was sent: a host may send short reports.
template <ReportType Type>
ReportBytes<Type> whole_report(const uint8_t* report, size_t length) {
  ReportBytes<Type> bytes{};
  if (report != nullptr) std::memcpy(bytes.data(), report, std::min(length, bytes.size()));
  return bytes;
}

template <typename Fields>
Fields read_fields(const uint8_t* report, size_t length) {
  return Fields::read(whole_report<Fields::kType>(report, length).data());
}

}  // namespace

bool HeldInputs::keyboard_held() const {
  const KeyboardFields keys = KeyboardFields::read(keyboard.data());
  return keys.modifiers != 0 ||
         std::any_of(keys.keys.begin(), keys.keys.end(), [](uint8_t usage) { return usage != 0; });
}

bool HeldInputs::any() const {
  return keyboard_held() || mouse_buttons != 0 || absolute_held() || joystick_buttons != 0 ||
         consumer_usage != 0 || touch_down.any();
}

void note_sent_report(uint8_t type_byte, const uint8_t* report, size_t length) {
  HeldInputs& state = held[type_channel(type_byte)];
  switch (static_cast<ReportType>(type_code(type_byte))) {
    case ReportType::Keyboard:
      state.keyboard = whole_report<ReportType::Keyboard>(report, length);
      break;
    case ReportType::Mouse:
      state.mouse_buttons = read_fields<MouseFields>(report, length).buttons;
      break;
    case ReportType::AbsoluteMouse:
      state.absolute = whole_report<ReportType::AbsoluteMouse>(report, length);
      break;
    case ReportType::Joystick:
      state.joystick_buttons = read_fields<JoystickFields>(report, length).buttons;
      break;
    case ReportType::Consumer:
      state.consumer_usage = read_fields<ConsumerFields>(report, length).usage;
      break;
    case ReportType::Touch: {
      const auto touch = read_fields<TouchFields>(report, length);
      state.touch_down[touch.contact] = touch.state != 0;
      state.touch_last[touch.contact] = touch;
      break;
    }
    default:
      break;  // system control and device commands hold nothing
  }
}

const HeldInputs& held_inputs(uint8_t channel) { return held[channel % kChannelCount]; }

bool anything_held() {
  return std::any_of(held.begin(), held.end(), [](const HeldInputs& s) { return s.any(); });
}

int release_held_inputs() {
  const system::CommandLock lock;
  int sent = 0;
  for (uint8_t channel = 0; channel < kChannelCount; ++channel) {
    // A copy: every release sent passes note_sent_report and changes the live state.
    const HeldInputs state = held[channel];
    auto send = [&](ReportType type, const auto& report) {
      sent +=
          send_report_on_channel(channel, static_cast<uint8_t>(type), report.data(), report.size());
    };
    if (state.keyboard_held()) send(ReportType::Keyboard, KeyboardReport{});
    if (state.mouse_buttons != 0) send(ReportType::Mouse, MouseFields{}.bytes());
    if (state.absolute_held()) {
      // At the last position, and with any other bytes as they were sent.
      auto lifted = state.absolute;
      lifted[AbsoluteMouseFields::kButtons] = 0;
      lifted[AbsoluteMouseFields::kWheel] = 0;
      send(ReportType::AbsoluteMouse, lifted);
    }
    for (size_t contact = 0; contact < kTouchContactCount; ++contact) {
      if (!state.touch_down[contact]) continue;
      TouchFields lift = state.touch_last[contact];
      lift.state = 0;
      send(ReportType::Touch, lift.bytes());
    }
    if (state.joystick_buttons != 0) send(ReportType::Joystick, JoystickFields{}.bytes());
    if (state.consumer_usage != 0) send(ReportType::Consumer, ConsumerFields{}.bytes());
  }
  return sent;
}

void forget_held_inputs() {
  const system::CommandLock lock;
  held = {};
}

}  // namespace tapline
