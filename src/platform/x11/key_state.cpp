#include "platform/key_state.h"

#include <X11/XKBlib.h>

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/virtual_keys.h"
#include "platform/x11/display.h"
#include "platform/x11/keymap.h"

namespace tapline::platform {
namespace {

// Windows virtual-key codes that need more than a keysym.
constexpr int kVkLeftButton = 0x01;
constexpr int kVkRightButton = 0x02;
constexpr int kVkMiddleButton = 0x04;
constexpr int kVkCapsLock = 0x14;
constexpr int kVkNumLock = 0x90;
constexpr int kVkScrollLock = 0x91;

// The indicator that shows a lock key's toggled state, by its XKB name and, without XKB,
// by its LED number in the core keyboard control.
struct LockIndicator {
  int virtual_key;
  const char* xkb_name;
  int core_led;
};
constexpr LockIndicator kLockIndicators[] = {
    {kVkCapsLock, "Caps Lock", 1},
    {kVkNumLock, "Num Lock", 2},
    {kVkScrollLock, "Scroll Lock", 3},
};

class X11KeyState final : public KeyStateSource {
 public:
  int16_t state(int virtual_key) override {
    if (virtual_key < 0 || virtual_key > 0xFF) return 0;
    Display* display = prepared_display();
    if (display == nullptr) return 0;
    const int16_t toggled = is_toggled(display, virtual_key) ? kKeyToggled : 0;
    return static_cast<int16_t>(is_held(display, virtual_key) ? kKeyHeld | toggled : toggled);
  }

  bool can_be_held(int virtual_key) override {
    if (virtual_key < 0 || virtual_key > 0xFF) return false;
    if (prepared_display() == nullptr) return false;
    return pointer_button_mask(virtual_key) != 0 || keycodes_[virtual_key].count > 0;
  }

 private:
  Display* prepared_display() {
    std::call_once(prepared_, [this] {
      display_ = x11_display();
      if (display_ != nullptr) {
        map_x11_keys(display_, keycodes_);
        find_indicators();
      }
    });
    return display_;
  }

  void find_indicators() {
    for (size_t i = 0; i < std::size(kLockIndicators); ++i) {
      const Atom name = XInternAtom(display_, kLockIndicators[i].xkb_name, False);
      int index = -1;
      if (name != None && XkbGetNamedIndicator(display_, name, &index, nullptr, nullptr, nullptr))
        xkb_indicator_[i] = index;
    }
  }

  static unsigned pointer_button_mask(int virtual_key) {
    switch (virtual_key) {
      case kVkLeftButton:
        return Button1Mask;
      case kVkMiddleButton:
        return Button2Mask;
      case kVkRightButton:
        return Button3Mask;
      default:
        return 0;
    }
  }

  bool is_held(Display* display, int virtual_key) {
    if (const unsigned button = pointer_button_mask(virtual_key)) {
      Window root, child;
      int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
      unsigned mask = 0;
      if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &root_x, &root_y,
                         &win_x, &win_y, &mask))
        return false;
      return (mask & button) != 0;
    }
    const KeyCodes& keys = keycodes_[virtual_key];
    if (keys.count == 0) return false;
    char keymap[32] = {};
    XQueryKeymap(display, keymap);
    for (uint8_t i = 0; i < keys.count; ++i) {
      const uint16_t code = keys.codes[i];
      if (keymap[code / 8] & (1 << (code % 8))) return true;
    }
    return false;
  }

  bool is_toggled(Display* display, int virtual_key) {
    for (size_t i = 0; i < std::size(kLockIndicators); ++i) {
      if (kLockIndicators[i].virtual_key != virtual_key) continue;
      if (xkb_indicator_[i] >= 0) {
        unsigned lit = 0;
        if (XkbGetIndicatorState(display, XkbUseCoreKbd, &lit) != Success) return false;
        return (lit >> xkb_indicator_[i]) & 1;
      }
      XKeyboardState keyboard{};
      XGetKeyboardControl(display, &keyboard);
      return (keyboard.led_mask >> (kLockIndicators[i].core_led - 1)) & 1;
    }
    return false;
  }

  std::once_flag prepared_;
  Display* display_ = nullptr;
  VirtualKeyCodes keycodes_{};
  std::array<int, std::size(kLockIndicators)> xkb_indicator_{-1, -1, -1};
};

}  // namespace

KeyStateSource* open_x11_key_state(std::string&) {
  static X11KeyState source;
  return &source;
}

}  // namespace tapline::platform
