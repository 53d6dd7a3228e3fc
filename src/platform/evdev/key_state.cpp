#include "platform/key_state.h"

#include <cstring>
#include <memory>
#include <mutex>

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
    if (!shared_) prepare();
    const std::lock_guard<std::mutex> hold(shared_->lock);
    if (!readable() || virtual_key < 0 || virtual_key > 0xFF) return 0;
    const KeyCodes& keys = keycodes_[virtual_key];
    int16_t state = 0;
    if (keys.count > 0) {
      const KeyBits held = devices().held_keys();
      for (uint8_t i = 0; i < keys.count; ++i)
        if (held.test(keys.codes[i])) state = kKeyHeld;
    }
    for (const LockLight& lock : kLockLights)
      if (lock.virtual_key == virtual_key && devices().lit_leds().test(lock.led))
        state = static_cast<int16_t>(state | kKeyToggled);
    return state;
  }

  bool can_be_held(int virtual_key) override {
    if (!shared_) prepare();
    const std::lock_guard<std::mutex> hold(shared_->lock);
    // A key without a device now may still come with a keyboard plugged in later.
    return readable() && virtual_key >= 0 && virtual_key <= 0xFF &&
           keycodes_[virtual_key].count > 0;
  }

 private:
  EvdevDevices& devices() { return shared_->devices; }

  // Whether keys can be read now, taking in the devices that came and went since the last
  // look; with the devices' lock held.
  bool readable() {
    devices().update();
    if (devices().unwatched()) return false;
    return devices().open_devices() > 0 || devices().refused() == 0;
  }

  void prepare() {
    const KeyboardLayout layout = host_keyboard_layout();
    if (!map_evdev_keys(layout, keycodes_)) {
      say_layout_unknown(layout);
      map_evdev_keys({}, keycodes_);
    }
    shared_ = shared_evdev_devices();
    const std::lock_guard<std::mutex> hold(shared_->lock);
    if (devices().unwatched())
      system::console_diagnostic("/dev/input cannot be watched (%s); host keys read as up\n",
                                 std::strerror(devices().watch_error()));
    else if (devices().refused() > 0)
      system::console_diagnostic(
          "%d input device%s under /dev/input cannot be read (permission denied), so host keys "
          "%s: %s\n",
          devices().refused(), devices().refused() == 1 ? "" : "s",
          devices().open_devices() > 0 ? "may be missed" : "read as up", kInputGroupHint);
  }

  // Shared with the event listener, which may be listening on its own thread.
  std::shared_ptr<SharedEvdevDevices> shared_;
  VirtualKeyCodes keycodes_{};
};

}  // namespace

KeyStateSource* open_evdev_key_state(std::string&) {
  static EvdevKeyState source;
  return &source;
}

}  // namespace tapline::platform
