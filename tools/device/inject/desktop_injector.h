// The sink that does on a desktop what the hardware does on its target computer: keys,
// buttons, pointer moves, wheel and media keys of the frames of one channel are pressed,
// released and moved through an InputTarget (X11 or Wayland).
//
// Keyboard reports are states: the keys held on the desktop are brought to the keys the
// report holds (modifier bits as modifier keys, a ShiftFlag usage with Shift held for as
// long as it is). Alt plus five keypad digits is read as a character number and the
// character is typed instead of the keys. Power requests and device commands are logged,
// never carried out.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "core/alt_code.h"
#include "core/frame_sink.h"
#include "inject/input_target.h"

namespace tapline::device {

struct InjectorOptions {
  uint8_t channel = 1;  // the channel whose target this desktop is (the host starts on 1)
  AltCodeReading alt_codes = AltCodeReading::Auto;
  // Release everything held once no frame has come for this long; 0 never does.
  uint32_t release_after_ms = 0;
};

// Keycodes borrowed for keysyms without a key are given back once no frame has come for
// this long: soon enough to leave the keyboard map as it was, late enough that clients
// have looked up the keys typed with them.
inline constexpr uint32_t kSettleAfterMs = 1000;

// The pixel the host meant by an absolute position 0..4095: the inverse of the host's
// trunc(pixel × (4095 / extent)) in single precision, so every pixel comes back exactly.
int absolute_to_pixel(uint32_t position, int extent);

class DesktopInjector final : public FrameSink {
 public:
  // `log` receives one line per notice (power requests, device commands, keys without
  // a desktop key); it may be nullptr.
  DesktopInjector(InputTarget& target, const InjectorOptions& options, std::FILE* log);

  void on_frame(const ReceivedFrame& received) override;
  void on_rejected(const RejectedDatagram&) override {}
  // Releases everything still held and gives back borrowed keycodes.
  void on_finish(const Summary& summary) override;
  int idle_timeout_ms() const override;
  void on_idle() override;

 private:
  // What the injector has pressed on the desktop, in the order pressed.
  struct KeysymList {
    std::array<Keysym, 24> values{};
    size_t count = 0;
    bool contains(Keysym keysym) const;
    void add(Keysym keysym);  // once; ignored when full
    void remove(Keysym keysym);
  };
  // What the host still holds but the desktop no longer does, because it was released
  // after a silence or consumed by an Alt code: not pressed again until the host lets go.
  struct Suppressed {
    uint8_t modifiers = 0;
    KeyboardFields::Slots keys{};
    uint8_t mouse_buttons = 0;
    uint8_t absolute_buttons = 0;
    uint16_t consumer = 0;
    bool touch = false;
  };
  // Alt held with keypad digits: the keys are withheld until Alt is released.
  struct AltSequence {
    bool active = false;
    std::array<uint8_t, 6> digits{};  // values 0..9, in the order typed
    size_t count = 0;
  };

  void on_keys(const TargetState& target, const StateChange& change, bool keyboard_frame);
  void on_pointer(const ReceivedFrame& received);
  void forget_released(const TargetState& target);
  uint8_t held_modifiers(const TargetState& target) const;
  bool key_counts(const TargetState& target, uint8_t slot_value) const;
  bool only_keypad_digits(const TargetState& target) const;
  void start_alt_sequence(const TargetState& target, const StateChange& change);
  void follow_alt_sequence(const TargetState& target, const StateChange& change);
  void finish_alt_sequence(const TargetState& target);
  void replay_alt_sequence(const TargetState& target, bool release_alt);
  void suppress_keypad_digits(const TargetState& target);
  void press_keys_held_by(const TargetState& target, const StateChange& change);
  void press_buttons_held_by(const TargetState& target);
  void wheel(int8_t clicks);
  // Touch contact 0 on a desktop that takes touches.
  void touch(TouchEvent event, uint32_t x, uint32_t y);
  void release_everything(bool suppress);
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));

  InputTarget& target_;
  InjectorOptions options_;
  std::FILE* log_;
  AltCodeDecoder alt_codes_;
  KeysymList keys_down_;
  uint32_t buttons_down_ = 0;  // bit n: X button n
  bool touching_ = false;      // contact 0 touches the desktop (takes_touch)
  Suppressed suppressed_;
  AltSequence alt_;
  const TargetState* last_target_ = nullptr;  // the channel's state, owned by the device
  uint32_t last_frame_tick_ = 0;
  bool told_touch_contacts_ = false;
  bool told_joystick_ = false;
};

}  // namespace tapline::device
