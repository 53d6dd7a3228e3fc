#include "platform/key_state.h"

#include <cstring>
#include <memory>

#include "platform/evdev/devices.h"
#include "platform/evdev/keymap.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

struct LockLight {
  int virtual_key;
  unsigned led;
};
constexpr LockLight kLockLights[] = {
    {0x14, LED_CAPSL},
    {0x90, LED_NUML},
    {0x91, LED_SCROLLL},
};

class EvdevKeyState final : public KeyStateSource {
 public:
  int16_t state(int virtual_key) override {
    if (!readable() || virtual_key < 0 || virtual_key > 0xFF) return 0;
    const KeyCodes& keys = keycodes_[virtual_key];
    int16_t state = 0;
    if (keys.count > 0) {
      const KeyBits held = devices_->held_keys();
      for (uint8_t i = 0; i < keys.count; ++i)
        if (held.test(keys.codes[i])) state = kKeyHeld;
    }
    for (const LockLight& lock : kLockLights)
      if (lock.virtual_key == virtual_key && devices_->lit_leds().test(lock.led))
        state = static_cast<int16_t>(state | kKeyToggled);
    return state;
  }

  bool can_be_held(int virtual_key) override {
    // A key without a device now may still come with a keyboard plugged in later.
    return readable() && virtual_key >= 0 && virtual_key <= 0xFF &&
           keycodes_[virtual_key].count > 0;
  }

 private:
  // Whether keys can be read now: opens the devices on first use and takes in those that
  // came and went since.
  bool readable() {
    if (!devices_) prepare();
    devices_->update();
    if (devices_->unwatched()) return false;
    return devices_->open_devices() > 0 || devices_->refused() == 0;
  }

  void prepare() {
    const KeyboardLayout layout = host_keyboard_layout();
    if (!map_evdev_keys(layout, keycodes_)) {
      say_layout_unknown(layout);
      map_evdev_keys({}, keycodes_);
    }
    devices_ = std::make_unique<EvdevDevices>();
    if (devices_->unwatched())
      system::console_diagnostic("/dev/input cannot be watched (%s); host keys read as up\n",
                                 std::strerror(devices_->watch_error()));
    else if (devices_->refused() > 0)
      system::console_diagnostic(
          "%d input device%s under /dev/input cannot be read (permission denied), so host keys "
          "%s: %s\n",
          devices_->refused(), devices_->refused() == 1 ? "" : "s",
          devices_->open_devices() > 0 ? "may be missed" : "read as up", kInputGroupHint);
  }

  std::unique_ptr<EvdevDevices> devices_;
  VirtualKeyCodes keycodes_{};
};

}  // namespace

KeyStateSource* open_evdev_key_state(std::string&) {
  static EvdevKeyState source;
  return &source;
}

}  // namespace tapline::platform
