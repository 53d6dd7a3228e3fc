#include "inject/desktop_keys.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <array>
#include <iterator>

#include "command/reports.h"

namespace tapline::device {
namespace {

// Keyboard/Keypad page usages 0x00..0x7F on a US layout; 0 where there is no key.
constexpr std::array<Keysym, 0x80> kUsageKeysyms = [] {
  std::array<Keysym, 0x80> keysyms{};
  for (int i = 0; i < 26; ++i) keysyms[0x04 + i] = XK_a + i;
  for (int i = 0; i < 9; ++i) keysyms[0x1E + i] = XK_1 + i;
  keysyms[0x27] = XK_0;
  constexpr Keysym row_0x28[] = {
      XK_Return,      XK_Escape,      XK_BackSpace,    XK_Tab,          XK_space,
      XK_minus,       XK_equal,       XK_bracketleft,  XK_bracketright, XK_backslash,
      XK_backslash,   XK_semicolon,   XK_apostrophe,   XK_grave,        XK_comma,
      XK_period,      XK_slash,       XK_Caps_Lock,    XK_F1,           XK_F2,
      XK_F3,          XK_F4,          XK_F5,           XK_F6,           XK_F7,
      XK_F8,          XK_F9,          XK_F10,          XK_F11,          XK_F12,
      XK_Print,       XK_Scroll_Lock, XK_Pause,        XK_Insert,       XK_Home,
      XK_Prior,       XK_Delete,      XK_End,          XK_Next,         XK_Right,
      XK_Left,        XK_Down,        XK_Up,           XK_Num_Lock,     XK_KP_Divide,
      XK_KP_Multiply, XK_KP_Subtract, XK_KP_Add,       XK_KP_Enter,     XK_KP_1,
      XK_KP_2,        XK_KP_3,        XK_KP_4,         XK_KP_5,         XK_KP_6,
      XK_KP_7,        XK_KP_8,        XK_KP_9,         XK_KP_0,         XK_KP_Decimal,
      XK_less,        XK_Menu,        XF86XK_PowerOff, XK_KP_Equal,     XK_F13,
      XK_F14,         XK_F15,         XK_F16,          XK_F17,          XK_F18,
      XK_F19,         XK_F20,         XK_F21,          XK_F22,          XK_F23,
      XK_F24,         XK_Execute,     XK_Help,         XK_Menu,         XK_Select,
      XK_Cancel,      XK_Redo,        XK_Undo,         XF86XK_Cut,      XF86XK_Copy,
      XF86XK_Paste,   XK_Find,        XF86XK_AudioMute};
  static_assert(std::size(row_0x28) == 0x80 - 0x28);
  for (size_t i = 0; i < std::size(row_0x28); ++i) keysyms[0x28 + i] = row_0x28[i];
  return keysyms;
}();

constexpr std::array<Keysym, 8> kModifierKeysyms{XK_Control_L, XK_Shift_L, XK_Alt_L, XK_Super_L,
                                                 XK_Control_R, XK_Shift_R, XK_Alt_R, XK_Super_R};

struct ConsumerKey {
  uint16_t usage;
  Keysym keysym;
};
constexpr ConsumerKey kConsumerKeys[] = {
    {0x00E9, XF86XK_AudioRaiseVolume},
    {0x00EA, XF86XK_AudioLowerVolume},
    {0x00E2, XF86XK_AudioMute},
    {0x00CD, XF86XK_AudioPlay},
    {0x00B5, XF86XK_AudioNext},
    {0x00B6, XF86XK_AudioPrev},
    {0x00B7, XF86XK_AudioStop},
    {kUsageStop, XF86XK_AudioStop},  // the host's "stop"
    {0x0223, XF86XK_HomePage},
    {0x0224, XF86XK_Back},
    {0x0040, XK_Menu},
};

}  // namespace

Keysym usage_keysym(uint8_t slot_value) {
  if (slot_value >= kFirstModifierUsage && slot_value <= kLastModifierUsage)
    return kModifierKeysyms[slot_value - kFirstModifierUsage];
  return kUsageKeysyms[slot_value & ~kShiftFlag];
}

Keysym modifier_keysym(unsigned bit) {
  return bit < kModifierKeysyms.size() ? kModifierKeysyms[bit] : 0;
}

Keysym consumer_keysym(uint16_t usage) {
  for (const ConsumerKey& key : kConsumerKeys)
    if (key.usage == usage) return key.keysym;
  return 0;
}

Keysym character_keysym(char32_t character) {
  switch (character) {
    case U'\n':
    case U'\r':
      return XK_Return;
    case U'\t':
      return XK_Tab;
    case U'\b':
      return XK_BackSpace;
    case 0x1B:
      return XK_Escape;
    default:
      break;
  }
  if (character < 0x20 || (character >= 0x7F && character < 0xA0) || character > 0x10FFFF) return 0;
  if (character <= 0xFF) return character;
  return 0x1000000 + character;
}

}  // namespace tapline::device
