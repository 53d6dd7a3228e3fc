// What the device holds down on each target: keys, buttons, the consumer key and touch
// contacts. Every report replaces the whole state of its kind, so the state after a
// frame is the frame itself; what the state adds is the change: which keys went down or
// up, which contact touched or lifted. An injecting sink replays exactly those changes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/frame_decoder.h"

namespace tapline::device {

struct TouchContact {
  bool down = false;
  uint16_t x = 0;
  uint16_t y = 0;
};

// The keyboard's lock lights, as the computer sets them through the keyboard's output
// report (bit 0 upwards); the hardware shows them, and so does the device's output.
inline constexpr uint8_t kLedNumLock = 0x01;
inline constexpr uint8_t kLedCapsLock = 0x02;
inline constexpr uint8_t kLedScrollLock = 0x04;
inline constexpr uint8_t kLedCompose = 0x08;
inline constexpr uint8_t kLedKana = 0x10;
inline constexpr uint8_t kAllLeds = 0x1F;

struct TargetState {
  uint8_t modifiers = 0;
  KeyboardFields::Slots keys{};  // slot values, 0 = empty
  uint8_t mouse_buttons = 0;
  uint8_t absolute_buttons = 0;
  uint16_t absolute_x = 0;
  uint16_t absolute_y = 0;
  uint16_t joystick_buttons = 0;
  uint16_t consumer_usage = 0;
  std::array<TouchContact, kTouchContactCount> contacts{};
  uint8_t leds = 0;  // lit by the computer, not held by the device

  bool key_held(uint8_t slot_value) const;
  size_t contacts_down() const;
  bool anything_held() const;
};

// Up to six distinct slot values, in the order of their slots.
struct KeySet {
  KeyboardFields::Slots values{};
  size_t count = 0;
  const uint8_t* begin() const { return values.data(); }
  const uint8_t* end() const { return values.data() + count; }
};

enum class TouchEvent : uint8_t {
  None,        // not a touch frame
  Down,        // the contact was up and touches now
  Move,        // the contact was down and touches again, at this point
  Up,          // the contact was down and lifts
  RepeatedUp,  // the contact was already up and is lifted again
};
const char* touch_event_name(TouchEvent event);  // "down", "move", "up", "up again"

struct StateChange {
  uint8_t modifiers_pressed = 0;
  uint8_t modifiers_released = 0;
  KeySet keys_pressed;
  KeySet keys_released;
  // Mouse, absolute mouse or joystick buttons, by the frame's type.
  uint16_t buttons_pressed = 0;
  uint16_t buttons_released = 0;
  uint16_t consumer_pressed = 0;  // usage, 0 = none
  uint16_t consumer_released = 0;
  TouchEvent touch = TouchEvent::None;
};

// Each output channel of the type byte reaches its own target.
class DeviceState {
 public:
  // Applies the frame to its channel's target and says what changed there.
  StateChange apply(const Frame& frame);
  const TargetState& target(uint8_t channel) const { return targets_[channel % kChannelCount]; }
  // The computer behind `channel` set its keyboard's lock lights.
  void set_leds(uint8_t channel, uint8_t leds) { targets_[channel % kChannelCount].leds = leds; }

 private:
  std::array<TargetState, kChannelCount> targets_{};
};

}  // namespace tapline::device
