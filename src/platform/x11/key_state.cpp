#include "platform/x11/key_state.h"

#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/x11/display.h"

namespace tapline::platform {
namespace {

// Windows virtual-key codes that need more than a keysym.
constexpr int kVkLeftButton = 0x01;
constexpr int kVkRightButton = 0x02;
constexpr int kVkMiddleButton = 0x04;
constexpr int kVkCapsLock = 0x14;
constexpr int kVkNumLock = 0x90;
constexpr int kVkScrollLock = 0x91;

constexpr size_t kMaxKeysyms = 3;

struct KeysymRow {
  uint8_t virtual_key;
  std::array<KeySym, kMaxKeysyms> keysyms;  // unused entries are NoSymbol (0)
};

// Every named virtual key and the keysyms of its key or keys. A generic modifier (Shift,
// Ctrl, Alt) is held while either of its keys is; both Enter keys are Return, as on
// Windows. Letters, digits, keypad digits and function keys are ranges (keysyms_of).
constexpr KeysymRow kKeysymRows[] = {
    {0x08, {XK_BackSpace}},
    {0x09, {XK_Tab, XK_ISO_Left_Tab}},
    {0x0C, {XK_Clear}},
    {0x0D, {XK_Return, XK_KP_Enter}},
    {0x10, {XK_Shift_L, XK_Shift_R}},
    {0x11, {XK_Control_L, XK_Control_R}},
    {0x12, {XK_Alt_L, XK_Alt_R, XK_ISO_Level3_Shift}},
    {0x13, {XK_Pause, XK_Break}},
    {0x14, {XK_Caps_Lock}},
    {0x1B, {XK_Escape}},
    {0x20, {XK_space}},
    {0x21, {XK_Prior}},
    {0x22, {XK_Next}},
    {0x23, {XK_End}},
    {0x24, {XK_Home}},
    {0x25, {XK_Left}},
    {0x26, {XK_Up}},
    {0x27, {XK_Right}},
    {0x28, {XK_Down}},
    {0x29, {XK_Select}},
    {0x2B, {XK_Execute}},
    {0x2C, {XK_Print, XK_Sys_Req}},
    {0x2D, {XK_Insert}},
    {0x2E, {XK_Delete}},
    {0x2F, {XK_Help}},
    {0x5B, {XK_Super_L}},
    {0x5C, {XK_Super_R}},
    {0x5D, {XK_Menu}},
    {0x5F, {XF86XK_Sleep}},
    {0x6A, {XK_KP_Multiply}},
    {0x6B, {XK_KP_Add}},
    {0x6C, {XK_KP_Separator}},
    {0x6D, {XK_KP_Subtract}},
    {0x6E, {XK_KP_Decimal}},
    {0x6F, {XK_KP_Divide}},
    {0x90, {XK_Num_Lock}},
    {0x91, {XK_Scroll_Lock}},
    {0xA0, {XK_Shift_L}},
    {0xA1, {XK_Shift_R}},
    {0xA2, {XK_Control_L}},
    {0xA3, {XK_Control_R}},
    {0xA4, {XK_Alt_L}},
    {0xA5, {XK_Alt_R, XK_ISO_Level3_Shift}},
    {0xA6, {XF86XK_Back}},
    {0xA7, {XF86XK_Forward}},
    {0xA8, {XF86XK_Refresh}},
    {0xA9, {XF86XK_Stop}},
    {0xAA, {XF86XK_Search}},
    {0xAB, {XF86XK_Favorites}},
    {0xAC, {XF86XK_HomePage}},
    {0xAD, {XF86XK_AudioMute}},
    {0xAE, {XF86XK_AudioLowerVolume}},
    {0xAF, {XF86XK_AudioRaiseVolume}},
    {0xB0, {XF86XK_AudioNext}},
    {0xB1, {XF86XK_AudioPrev}},
    {0xB2, {XF86XK_AudioStop}},
    {0xB3, {XF86XK_AudioPlay, XF86XK_AudioPause}},
    {0xB4, {XF86XK_Mail}},
    {0xB5, {XF86XK_AudioMedia}},
    {0xB6, {XF86XK_MyComputer}},
    {0xB7, {XF86XK_Calculator}},
    {0xBA, {XK_semicolon}},
    {0xBB, {XK_equal}},
    {0xBC, {XK_comma}},
    {0xBD, {XK_minus}},
    {0xBE, {XK_period}},
    {0xBF, {XK_slash}},
    {0xC0, {XK_grave}},
    {0xDB, {XK_bracketleft}},
    {0xDC, {XK_backslash}},
    {0xDD, {XK_bracketright}},
    {0xDE, {XK_apostrophe}},
    {0xE2, {XK_less}},
};

std::array<KeySym, kMaxKeysyms> keysyms_of(int virtual_key) {
  if (virtual_key >= '0' && virtual_key <= '9') return {XK_0 + KeySym(virtual_key - '0')};
  if (virtual_key >= 'A' && virtual_key <= 'Z') return {XK_a + KeySym(virtual_key - 'A')};
  if (virtual_key >= 0x60 && virtual_key <= 0x69) return {XK_KP_0 + KeySym(virtual_key - 0x60)};
  if (virtual_key >= 0x70 && virtual_key <= 0x87) return {XK_F1 + KeySym(virtual_key - 0x70)};
  for (const KeysymRow& row : kKeysymRows)
    if (row.virtual_key == virtual_key) return row.keysyms;
  return {};
}

}  // namespace

int virtual_key_of_keysym(KeySym keysym) {
  if (keysym == NoSymbol) return 0;
  if (keysym >= XK_0 && keysym <= XK_9) return '0' + static_cast<int>(keysym - XK_0);
  if (keysym >= XK_a && keysym <= XK_z) return 'A' + static_cast<int>(keysym - XK_a);
  if (keysym >= XK_A && keysym <= XK_Z) return 'A' + static_cast<int>(keysym - XK_A);
  if (keysym >= XK_KP_0 && keysym <= XK_KP_9) return 0x60 + static_cast<int>(keysym - XK_KP_0);
  if (keysym >= XK_F1 && keysym <= XK_F24) return 0x70 + static_cast<int>(keysym - XK_F1);
  // From the end: the side-specific rows of Shift, Ctrl and Alt come after the generic ones.
  for (size_t i = std::size(kKeysymRows); i-- > 0;)
    for (KeySym sym : kKeysymRows[i].keysyms)
      if (sym != NoSymbol && sym == keysym) return kKeysymRows[i].virtual_key;
  return 0;
}

namespace {

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
  struct Keycodes {
    std::array<uint8_t, 4> codes{};
    uint8_t count = 0;
  };

  Display* prepared_display() {
    std::call_once(prepared_, [this] {
      display_ = x11_display();
      if (display_ != nullptr) {
        map_keycodes();
        find_indicators();
      }
    });
    return display_;
  }

  // Every keycode that carries one of a virtual key's keysyms at any level, so that a key
  // is found whichever level of it (such as KP_1 beside KP_End) the table names.
  void map_keycodes() {
    int min_keycode = 0, max_keycode = 0;
    XDisplayKeycodes(display_, &min_keycode, &max_keycode);
    int per_keycode = 0;
    KeySym* mapping = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_keycode),
                                          max_keycode - min_keycode + 1, &per_keycode);
    if (mapping == nullptr) return;
    for (int virtual_key = 0; virtual_key <= 0xFF; ++virtual_key) {
      const std::array<KeySym, kMaxKeysyms> wanted = keysyms_of(virtual_key);
      if (wanted[0] == NoSymbol) continue;
      Keycodes& found = keycodes_[virtual_key];
      for (int keycode = min_keycode; keycode <= max_keycode; ++keycode) {
        const KeySym* syms = mapping + (keycode - min_keycode) * per_keycode;
        bool matches = false;
        for (int level = 0; level < per_keycode && !matches; ++level)
          for (KeySym sym : wanted)
            if (sym != NoSymbol && syms[level] == sym) matches = true;
        if (matches && found.count < found.codes.size())
          found.codes[found.count++] = static_cast<uint8_t>(keycode);
      }
    }
    XFree(mapping);
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
    const Keycodes& keys = keycodes_[virtual_key];
    if (keys.count == 0) return false;
    char keymap[32] = {};
    XQueryKeymap(display, keymap);
    for (uint8_t i = 0; i < keys.count; ++i) {
      const uint8_t code = keys.codes[i];
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
  std::array<Keycodes, 256> keycodes_{};
  std::array<int, std::size(kLockIndicators)> xkb_indicator_{-1, -1, -1};
};

}  // namespace

KeyStateSource& x11_key_state() {
  static X11KeyState source;
  return source;
}

}  // namespace tapline::platform
