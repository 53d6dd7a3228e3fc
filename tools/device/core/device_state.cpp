#include "core/device_state.h"

#include <algorithm>
#include <type_traits>

namespace tapline::device {
namespace {

bool contains(const KeyboardFields::Slots& slots, uint8_t value) {
  return std::find(slots.begin(), slots.end(), value) != slots.end();
}

// Slot values of `from` that `other` lacks, each once.
KeySet difference(const KeyboardFields::Slots& from, const KeyboardFields::Slots& other) {
  KeySet result;
  for (const uint8_t value : from) {
    if (value == 0 || contains(other, value)) continue;
    if (std::find(result.begin(), result.end(), value) != result.end()) continue;
    result.values[result.count++] = value;
  }
  return result;
}

template <typename Bits>
void button_change(Bits& held, Bits now, StateChange& change) {
  change.buttons_pressed = static_cast<uint16_t>(now & ~held);
  change.buttons_released = static_cast<uint16_t>(held & ~now);
  held = now;
}

}  // namespace

const char* touch_event_name(TouchEvent event) {
  switch (event) {
    case TouchEvent::Down:
      return "down";
    case TouchEvent::Move:
      return "move";
    case TouchEvent::Up:
      return "up";
    case TouchEvent::RepeatedUp:
      return "up again";
    case TouchEvent::None:
      break;
  }
  return "";
}

bool TargetState::key_held(uint8_t slot_value) const {
  return slot_value != 0 && contains(keys, slot_value);
}

size_t TargetState::contacts_down() const {
  return static_cast<size_t>(std::count_if(contacts.begin(), contacts.end(),
                                           [](const TouchContact& c) { return c.down; }));
}

bool TargetState::anything_held() const {
  const bool key_down = std::any_of(keys.begin(), keys.end(), [](uint8_t v) { return v != 0; });
  return modifiers != 0 || key_down || mouse_buttons != 0 || absolute_buttons != 0 ||
         joystick_buttons != 0 || consumer_usage != 0 || contacts_down() != 0;
}

StateChange DeviceState::apply(const Frame& frame) {
  TargetState& target = targets_[frame.channel % kChannelCount];
  StateChange change;
  std::visit(
      [&](const auto& fields) {
        using Fields = std::decay_t<decltype(fields)>;
        if constexpr (std::is_same_v<Fields, KeyboardFields>) {
          change.modifiers_pressed = fields.modifiers & ~target.modifiers;
          change.modifiers_released = target.modifiers & ~fields.modifiers;
          change.keys_pressed = difference(fields.keys, target.keys);
          change.keys_released = difference(target.keys, fields.keys);
          target.modifiers = fields.modifiers;
          target.keys = fields.keys;
        } else if constexpr (std::is_same_v<Fields, MouseFields>) {
          button_change(target.mouse_buttons, fields.buttons, change);
        } else if constexpr (std::is_same_v<Fields, AbsoluteMouseFields>) {
          button_change(target.absolute_buttons, fields.buttons, change);
          target.absolute_x = fields.x;
          target.absolute_y = fields.y;
        } else if constexpr (std::is_same_v<Fields, JoystickFields>) {
          button_change(target.joystick_buttons, fields.buttons, change);
        } else if constexpr (std::is_same_v<Fields, ConsumerFields>) {
          if (fields.usage != target.consumer_usage) {
            change.consumer_released = target.consumer_usage;
            change.consumer_pressed = fields.usage;
            target.consumer_usage = fields.usage;
          }
        } else if constexpr (std::is_same_v<Fields, TouchFields>) {
          TouchContact& contact = target.contacts[fields.contact];
          const bool touching = fields.state != 0;
          if (touching)
            change.touch = contact.down ? TouchEvent::Move : TouchEvent::Down;
          else
            change.touch = contact.down ? TouchEvent::Up : TouchEvent::RepeatedUp;
          contact.down = touching;
          // A lift carries no position of its own (the sender puts 0, 0 there).
          if (touching) {
            contact.x = fields.x;
            contact.y = fields.y;
          }
        }
        // Power requests and device commands are one-shot: nothing stays held.
      },
      frame.fields);
  return change;
}

}  // namespace tapline::device
