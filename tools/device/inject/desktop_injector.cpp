#include "inject/desktop_injector.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <type_traits>

#include "command/typing.h"
#include "core/usage_names.h"
#include "system/clock.h"

namespace tapline::device {
namespace {

constexpr uint8_t kPowerUsage = 0x66;
constexpr unsigned kWheelUp = 4;
constexpr unsigned kWheelDown = 5;
constexpr unsigned kLeftButton = 1;
constexpr size_t kDigitsOfACode = kAltDigitCount;

// The digit of a keypad digit usage, or -1.
int keypad_digit(uint8_t usage) {
  const auto found = std::find(kAltDigitUsages.begin(), kAltDigitUsages.end(), usage);
  return found == kAltDigitUsages.end() ? -1 : static_cast<int>(found - kAltDigitUsages.begin());
}

// Report button bits (left, right, middle, then further buttons) as X buttons.
uint32_t x_buttons(uint8_t report_buttons) {
  constexpr unsigned kXButtonOfBit[8] = {1, 3, 2, 8, 9, 10, 11, 12};
  uint32_t buttons = 0;
  for (unsigned bit = 0; bit < 8; ++bit)
    if (report_buttons & (1u << bit)) buttons |= 1u << kXButtonOfBit[bit];
  return buttons;
}

bool slots_contain(const KeyboardFields::Slots& slots, uint8_t value) {
  return value != 0 && std::find(slots.begin(), slots.end(), value) != slots.end();
}

}  // namespace

int absolute_to_pixel(uint32_t position, int extent) {
  if (extent <= 0) return 0;
  const float factor = static_cast<float>(kPositionRange) / static_cast<float>(extent);
  const auto host_position = [factor](int pixel) {
    return static_cast<uint32_t>(static_cast<float>(pixel) * factor);
  };
  int pixel = static_cast<int>(std::ceil(static_cast<double>(position) * extent / kPositionRange));
  pixel = std::clamp(pixel, 0, extent - 1);
  // The single-precision factor may sit a little below or above the exact quotient.
  for (int i = 0; i < 4 && pixel > 0 && host_position(pixel - 1) >= position; ++i) --pixel;
  for (int i = 0; i < 4 && pixel < extent - 1 && host_position(pixel) < position; ++i) ++pixel;
  return pixel;
}

bool DesktopInjector::KeysymList::contains(Keysym keysym) const {
  return std::find(values.begin(), values.begin() + count, keysym) != values.begin() + count;
}

void DesktopInjector::KeysymList::add(Keysym keysym) {
  if (!contains(keysym) && count < values.size()) values[count++] = keysym;
}

void DesktopInjector::KeysymList::remove(Keysym keysym) {
  const auto end = values.begin() + count;
  const auto found = std::find(values.begin(), end, keysym);
  if (found == end) return;
  std::copy(found + 1, end, found);
  --count;
}

DesktopInjector::DesktopInjector(InputTarget& target, const InjectorOptions& options,
                                 std::FILE* log)
    : target_(target), options_(options), log_(log), alt_codes_(options.alt_codes) {
  last_frame_tick_ = system::tick_ms();
}

void DesktopInjector::say(const char* format, ...) {
  if (log_ == nullptr) return;
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("tapline-device: ", log_);
  std::vfprintf(log_, format, arguments);
  std::fputc('\n', log_);
  std::fflush(log_);
  va_end(arguments);
}

void DesktopInjector::on_frame(const ReceivedFrame& received) {
  last_frame_tick_ = system::tick_ms();
  const Frame& frame = received.frame;
  if (frame.channel != options_.channel) return;
  last_target_ = &received.target;
  forget_released(received.target);
  std::visit(
      [&](const auto& fields) {
        using Fields = std::decay_t<decltype(fields)>;
        if constexpr (std::is_same_v<Fields, KeyboardFields>) {
          on_keys(received.target, received.change, true);
        } else if constexpr (std::is_same_v<Fields, ConsumerFields>) {
          if (received.change.consumer_pressed != 0 &&
              consumer_keysym(received.change.consumer_pressed) == 0)
            say("consumer usage 0x%04x has no desktop key", received.change.consumer_pressed);
          on_keys(received.target, received.change, false);
        } else if constexpr (std::is_same_v<Fields, MouseFields> ||
                             std::is_same_v<Fields, AbsoluteMouseFields> ||
                             std::is_same_v<Fields, TouchFields>) {
          on_pointer(received);
        } else if constexpr (std::is_same_v<Fields, JoystickFields>) {
          if (!told_joystick_) say("joystick reports are not passed to the desktop");
          told_joystick_ = true;
        } else if constexpr (std::is_same_v<Fields, SystemControlFields>) {
          const char* name = system_request_name(fields.request);
          say("system request %u (%s) logged, not carried out", fields.request,
              name != nullptr ? name : "unknown");
        } else if constexpr (std::is_same_v<Fields, DeviceCommandFields>) {
          const char* name = device_command_name(fields.command, fields.complement);
          say("device command %02x %02x (%s) logged", fields.command, fields.complement,
              name != nullptr ? name : "unknown");
        }
      },
      frame.fields);
  target_.flush();
}

// Suppressed keys and buttons count again once the host has let them go.
void DesktopInjector::forget_released(const TargetState& target) {
  suppressed_.modifiers &= target.modifiers;
  for (uint8_t& value : suppressed_.keys)
    if (!slots_contain(target.keys, value)) value = 0;
  suppressed_.mouse_buttons &= target.mouse_buttons;
  suppressed_.absolute_buttons &= target.absolute_buttons;
  if (suppressed_.consumer != target.consumer_usage) suppressed_.consumer = 0;
  suppressed_.touch = suppressed_.touch && target.contacts[0].down;
}

uint8_t DesktopInjector::held_modifiers(const TargetState& target) const {
  return target.modifiers & ~suppressed_.modifiers;
}

bool DesktopInjector::key_counts(const TargetState& target, uint8_t slot_value) const {
  return slots_contain(target.keys, slot_value) && !slots_contain(suppressed_.keys, slot_value);
}

bool DesktopInjector::only_keypad_digits(const TargetState& target) const {
  for (const uint8_t value : target.keys)
    if (key_counts(target, value) && keypad_digit(value) < 0) return false;
  return true;
}

void DesktopInjector::on_keys(const TargetState& target, const StateChange& change,
                              bool keyboard_frame) {
  if (keyboard_frame) {
    for (const uint8_t value : change.keys_pressed) {
      if (usage_keysym(value) == 0)
        say("key usage 0x%02x has no desktop key", value);
      else if (value == kPowerUsage)
        say("the Power key is logged, not passed to the desktop");
    }
    if (alt_.active)
      follow_alt_sequence(target, change);
    else
      start_alt_sequence(target, change);
  }
  press_keys_held_by(target, change);
}

// Left Alt pressed alone, perhaps with the first keypad digit in the same report.
void DesktopInjector::start_alt_sequence(const TargetState& target, const StateChange& change) {
  if ((change.modifiers_pressed & kModifierLeftAlt) == 0 ||
      held_modifiers(target) != kModifierLeftAlt || !only_keypad_digits(target))
    return;
  for (const uint8_t value : target.keys)
    if (key_counts(target, value) &&
        std::find(change.keys_pressed.begin(), change.keys_pressed.end(), value) ==
            change.keys_pressed.end())
      return;  // a digit held from before Alt: plain keys, not a character number
  alt_ = AltSequence{};
  alt_.active = true;
  for (const uint8_t value : change.keys_pressed) alt_.digits[alt_.count++] = keypad_digit(value);
}

void DesktopInjector::follow_alt_sequence(const TargetState& target, const StateChange& change) {
  const uint8_t modifiers = held_modifiers(target);
  if ((modifiers & kModifierLeftAlt) == 0) {
    finish_alt_sequence(target);
    return;
  }
  if (modifiers == kModifierLeftAlt && only_keypad_digits(target)) {
    for (const uint8_t value : change.keys_pressed) {
      // More than five digits make no character number: the keys were meant as keys.
      if (alt_.count == kDigitsOfACode) {
        replay_alt_sequence(target, false);
        return;
      }
      alt_.digits[alt_.count++] = keypad_digit(value);
    }
    return;
  }
  // Another key or modifier joined Alt (Alt+Tab after a digit, say): pass it all on.
  replay_alt_sequence(target, false);
}

void DesktopInjector::finish_alt_sequence(const TargetState& target) {
  if (alt_.count == kDigitsOfACode) {
    uint32_t number = 0;
    for (size_t i = 0; i < alt_.count; ++i) number = number * 10 + alt_.digits[i];
    alt_ = AltSequence{};
    const char32_t character = alt_codes_.decode(number);
    const Keysym keysym = character != 0 ? character_keysym(character) : 0;
    if (keysym != 0)
      target_.type_character(character);
    else if (!alt_codes_.waiting())
      say("Alt code %05u gives no character to type", number);
    suppress_keypad_digits(target);
    return;
  }
  replay_alt_sequence(target, true);
  suppress_keypad_digits(target);
}

// Passes the withheld keys on as they came: Alt down, each digit typed (a digit still
// held stays down), and Alt up again when it has been released.
void DesktopInjector::replay_alt_sequence(const TargetState& target, bool release_alt) {
  const AltSequence withheld = alt_;
  alt_ = AltSequence{};
  target_.key(XK_Alt_L, true);
  keys_down_.add(XK_Alt_L);
  for (size_t i = 0; i < withheld.count; ++i) {
    const uint8_t digit = withheld.digits[i];
    const uint8_t usage = kAltDigitUsages[digit];
    const Keysym keysym = usage_keysym(usage);
    const bool typed_again =
        std::find(withheld.digits.begin() + i + 1, withheld.digits.begin() + withheld.count,
                  digit) != withheld.digits.begin() + withheld.count;
    target_.key(keysym, true);
    if (key_counts(target, usage) && !release_alt && !typed_again)
      keys_down_.add(keysym);
    else
      target_.key(keysym, false);
  }
  if (release_alt) {
    target_.key(XK_Alt_L, false);
    keys_down_.remove(XK_Alt_L);
  }
}

// Digits still held when Alt went up belonged to the character number.
void DesktopInjector::suppress_keypad_digits(const TargetState& target) {
  size_t slot = 0;
  for (const uint8_t value : target.keys)
    if (key_counts(target, value) && keypad_digit(value) >= 0 &&
        !keys_down_.contains(usage_keysym(value))) {
      while (slot < suppressed_.keys.size() && suppressed_.keys[slot] != 0) ++slot;
      if (slot < suppressed_.keys.size()) suppressed_.keys[slot] = value;
    }
}

// Brings the keys down on the desktop to those the host holds: releases first (keys
// before the modifiers pressed ahead of them), then presses, modifiers first.
void DesktopInjector::press_keys_held_by(const TargetState& target, const StateChange& change) {
  // A new usage on a key already down (1 giving way to !) is a new press of that key.
  for (const uint8_t value : change.keys_pressed) {
    const Keysym keysym = usage_keysym(value);
    if (!alt_.active && key_counts(target, value) && keys_down_.contains(keysym)) {
      target_.key(keysym, false);
      keys_down_.remove(keysym);
    }
  }
  KeysymList wanted;
  if (!alt_.active) {
    const uint8_t modifiers = held_modifiers(target);
    for (unsigned bit = 0; bit < 8; ++bit)
      if (modifiers & (1u << bit)) wanted.add(modifier_keysym(bit));
    for (const uint8_t value : target.keys) {
      if (!key_counts(target, value)) continue;
      const Keysym keysym = usage_keysym(value);
      if (keysym == 0 || keysym == XF86XK_PowerOff) continue;
      if (has_shift_flag(value)) wanted.add(XK_Shift_L);
      wanted.add(keysym);
    }
  }
  if (target.consumer_usage != 0 && target.consumer_usage != suppressed_.consumer)
    if (const Keysym keysym = consumer_keysym(target.consumer_usage)) wanted.add(keysym);

  for (size_t i = keys_down_.count; i-- > 0;) {
    const Keysym keysym = keys_down_.values[i];
    if (wanted.contains(keysym)) continue;
    target_.key(keysym, false);
    keys_down_.remove(keysym);
  }
  for (size_t i = 0; i < wanted.count; ++i) {
    const Keysym keysym = wanted.values[i];
    if (keys_down_.contains(keysym)) continue;
    target_.key(keysym, true);
    keys_down_.add(keysym);
  }
}

void DesktopInjector::press_buttons_held_by(const TargetState& target) {
  uint32_t wanted = x_buttons(target.mouse_buttons & ~suppressed_.mouse_buttons) |
                    x_buttons(target.absolute_buttons & ~suppressed_.absolute_buttons);
  if (target.contacts[0].down && !suppressed_.touch && !target_.takes_touch())
    wanted |= 1u << kLeftButton;
  const uint32_t released = buttons_down_ & ~wanted;
  const uint32_t pressed = wanted & ~buttons_down_;
  for (unsigned number = 1; number < 32; ++number)
    if (released & (1u << number)) target_.button(number, false);
  for (unsigned number = 1; number < 32; ++number)
    if (pressed & (1u << number)) target_.button(number, true);
  buttons_down_ = wanted;
}

void DesktopInjector::wheel(int8_t clicks) {
  const unsigned number = clicks > 0 ? kWheelUp : kWheelDown;
  for (int i = 0; i < std::abs(int{clicks}); ++i) {
    target_.button(number, true);
    target_.button(number, false);
  }
}

void DesktopInjector::on_pointer(const ReceivedFrame& received) {
  const TargetState& target = received.target;
  std::visit(
      [&](const auto& fields) {
        using Fields = std::decay_t<decltype(fields)>;
        if constexpr (std::is_same_v<Fields, MouseFields>) {
          if (fields.dx != 0 || fields.dy != 0) target_.move_by(fields.dx, fields.dy);
          press_buttons_held_by(target);
          wheel(fields.wheel);
        } else if constexpr (std::is_same_v<Fields, AbsoluteMouseFields>) {
          const ScreenExtent screen = target_.screen();
          target_.move_to(absolute_to_pixel(fields.x, screen.width),
                          absolute_to_pixel(fields.y, screen.height));
          press_buttons_held_by(target);
          wheel(fields.wheel);
        } else if constexpr (std::is_same_v<Fields, TouchFields>) {
          if (fields.contact != 0) {
            if (!told_touch_contacts_)
              say("touch contact %u is shown, not passed to the desktop (contact 0 is the "
                  "pointer)",
                  fields.contact);
            told_touch_contacts_ = true;
            return;
          }
          const TouchEvent event = received.change.touch;
          if (target_.takes_touch()) {
            touch(event, fields.x, fields.y);
            return;
          }
          if (event == TouchEvent::Down || event == TouchEvent::Move) {
            const ScreenExtent screen = target_.screen();
            target_.move_to(absolute_to_pixel(fields.x, screen.width),
                            absolute_to_pixel(fields.y, screen.height));
          }
          press_buttons_held_by(target);
        }
      },
      received.frame.fields);
}

void DesktopInjector::touch(TouchEvent event, uint32_t x, uint32_t y) {
  if (suppressed_.touch) return;  // released after a silence: not until the host lifts it
  const bool down = event == TouchEvent::Down || event == TouchEvent::Move;
  if (down) {
    const ScreenExtent screen = target_.screen();
    target_.touch(touching_ ? TouchPhase::move : TouchPhase::down,
                  absolute_to_pixel(x, screen.width), absolute_to_pixel(y, screen.height));
  } else if (touching_) {
    target_.touch(TouchPhase::up, 0, 0);
  }
  touching_ = down;
}

void DesktopInjector::release_everything(bool suppress) {
  alt_ = AltSequence{};  // withheld keys were never pressed on the desktop
  for (size_t i = keys_down_.count; i-- > 0;) target_.key(keys_down_.values[i], false);
  keys_down_.count = 0;
  for (unsigned number = 1; number < 32; ++number)
    if (buttons_down_ & (1u << number)) target_.button(number, false);
  buttons_down_ = 0;
  if (touching_) target_.touch(TouchPhase::up, 0, 0);
  touching_ = false;
  if (suppress && last_target_ != nullptr) {
    const TargetState& target = *last_target_;
    suppressed_.modifiers = target.modifiers;
    suppressed_.keys = target.keys;
    suppressed_.mouse_buttons = target.mouse_buttons;
    suppressed_.absolute_buttons = target.absolute_buttons;
    suppressed_.consumer = target.consumer_usage;
    suppressed_.touch = target.contacts[0].down;
  }
}

void DesktopInjector::on_finish(const Summary&) {
  release_everything(false);
  target_.settle();
  target_.flush();
}

int DesktopInjector::idle_timeout_ms() const {
  const uint32_t quiet = system::tick_ms() - last_frame_tick_;
  int64_t timeout = -1;
  const auto wait_until = [&](uint32_t after) {
    const int64_t left = after > quiet ? int64_t{after - quiet} : 0;
    if (timeout < 0 || left < timeout) timeout = left;
  };
  if (options_.release_after_ms > 0 && (keys_down_.count > 0 || buttons_down_ != 0 || alt_.active))
    wait_until(options_.release_after_ms);
  if (target_.borrowing()) wait_until(kSettleAfterMs);
  return static_cast<int>(timeout);
}

void DesktopInjector::on_idle() {
  const uint32_t quiet = system::tick_ms() - last_frame_tick_;
  if (options_.release_after_ms > 0 && quiet >= options_.release_after_ms &&
      (keys_down_.count > 0 || buttons_down_ != 0 || alt_.active)) {
    say("no frame for %u ms: released everything held", quiet);
    release_everything(true);
  }
  if (quiet >= kSettleAfterMs) target_.settle();
  target_.flush();
}

}  // namespace tapline::device
