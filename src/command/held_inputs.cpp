#include "command/held_inputs.h"

#include <algorithm>
#include <cstring>

#include "command/frame.h"

namespace tapline {
namespace {

std::array<HeldInputs, kOutputChannels> held;

// The report's bytes, zero beyond what was sent: a host may send short reports.
template <size_t N>
std::array<uint8_t, N> report_bytes(const uint8_t* report, size_t length) {
  std::array<uint8_t, N> bytes{};
  if (report != nullptr) std::memcpy(bytes.data(), report, std::min(length, N));
  return bytes;
}

uint16_t little_endian(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

}  // namespace

bool HeldInputs::keyboard_held() const {
  return keyboard[0] != 0 || std::any_of(keyboard.begin() + 2, keyboard.end(),
                                         [](uint8_t usage) { return usage != 0; });
}

bool HeldInputs::any() const {
  return keyboard_held() || mouse_buttons != 0 || absolute[0] != 0 || joystick_buttons != 0 ||
         consumer_usage != 0 || touch_down.any();
}

void note_sent_report(uint8_t type_byte, const uint8_t* report, size_t length) {
  HeldInputs& state = held[type_byte >> 6];
  switch (static_cast<ReportType>(type_byte & 0x1F)) {
    case ReportType::Keyboard:
      state.keyboard = report_bytes<8>(report, length);
      break;
    case ReportType::Mouse:
      state.mouse_buttons = report_bytes<1>(report, length)[0];
      break;
    case ReportType::AbsoluteMouse:
      state.absolute = report_bytes<7>(report, length);
      break;
    case ReportType::Joystick:
      state.joystick_buttons = little_endian(report_bytes<2>(report, length).data());
      break;
    case ReportType::Consumer:
      state.consumer_usage = little_endian(report_bytes<2>(report, length).data());
      break;
    case ReportType::Touch: {
      const auto touch = report_bytes<6>(report, length);
      const uint8_t contact = touch[1];
      state.touch_down[contact] = touch[0] != 0;
      std::copy(touch.begin() + 2, touch.end(), state.touch_position[contact].begin());
      break;
    }
    default:
      break;  // system control and device commands hold nothing
  }
}

const HeldInputs& held_inputs(uint8_t channel) { return held[channel % kOutputChannels]; }

bool anything_held() {
  return std::any_of(held.begin(), held.end(), [](const HeldInputs& s) { return s.any(); });
}

int release_held_inputs() {
  const CommandLock lock;
  int sent = 0;
  for (uint8_t channel = 0; channel < kOutputChannels; ++channel) {
    // A copy: every release sent passes note_sent_report and changes the live state.
    const HeldInputs state = held[channel];
    auto send = [&](ReportType type, const uint8_t* report, size_t length) {
      sent += send_report_on_channel(channel, static_cast<uint8_t>(type), report, length);
    };
    if (state.keyboard_held()) {
      const std::array<uint8_t, 8> keys_up{};
      send(ReportType::Keyboard, keys_up.data(), keys_up.size());
    }
    if (state.mouse_buttons != 0) {
      const std::array<uint8_t, 7> no_buttons{};
      send(ReportType::Mouse, no_buttons.data(), no_buttons.size());
    }
    if (state.absolute[0] != 0) {
      std::array<uint8_t, 7> lifted = state.absolute;
      lifted[0] = 0;  // no buttons
      lifted[1] = 0;  // no wheel
      send(ReportType::AbsoluteMouse, lifted.data(), lifted.size());
    }
    for (size_t contact = 0; contact < kTouchContacts; ++contact) {
      if (!state.touch_down[contact]) continue;
      const auto& at = state.touch_position[contact];
      const std::array<uint8_t, 6> lift{0,    static_cast<uint8_t>(contact), at[0], at[1], at[2],
                                        at[3]};
      send(ReportType::Touch, lift.data(), lift.size());
    }
    if (state.joystick_buttons != 0) {
      const std::array<uint8_t, 7> no_buttons{};
      send(ReportType::Joystick, no_buttons.data(), no_buttons.size());
    }
    if (state.consumer_usage != 0) {
      const std::array<uint8_t, 7> no_usage{};
      send(ReportType::Consumer, no_usage.data(), no_usage.size());
    }
  }
  return sent;
}

void forget_held_inputs() {
  const CommandLock lock;
  held = {};
}

}  // namespace tapline
