#include "platform/virtual_keys.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace tapline::platform {
namespace {

constexpr Keysym kNoSymbol = 0;
constexpr size_t kMaxKeysyms = 3;

struct KeysymRow {
  uint8_t virtual_key;
  std::array<Keysym, kMaxKeysyms> keysyms;  // unused entries are kNoSymbol
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

std::array<Keysym, kMaxKeysyms> keysyms_of(int virtual_key) {
  if (virtual_key >= '0' && virtual_key <= '9') return {XK_0 + Keysym(virtual_key - '0')};
  if (virtual_key >= 'A' && virtual_key <= 'Z') return {XK_a + Keysym(virtual_key - 'A')};
  if (virtual_key >= 0x60 && virtual_key <= 0x69) return {XK_KP_0 + Keysym(virtual_key - 0x60)};
  if (virtual_key >= 0x70 && virtual_key <= 0x87) return {XK_F1 + Keysym(virtual_key - 0x70)};
  for (const KeysymRow& row : kKeysymRows)
    if (row.virtual_key == virtual_key) return row.keysyms;
  return {};
}

}  // namespace

int virtual_key_of_keysym(Keysym keysym) {
  if (keysym == kNoSymbol) return 0;
  if (keysym >= XK_0 && keysym <= XK_9) return '0' + static_cast<int>(keysym - XK_0);
  if (keysym >= XK_a && keysym <= XK_z) return 'A' + static_cast<int>(keysym - XK_a);
  if (keysym >= XK_A && keysym <= XK_Z) return 'A' + static_cast<int>(keysym - XK_A);
  if (keysym >= XK_KP_0 && keysym <= XK_KP_9) return 0x60 + static_cast<int>(keysym - XK_KP_0);
  if (keysym >= XK_F1 && keysym <= XK_F24) return 0x70 + static_cast<int>(keysym - XK_F1);
  // From the end: the side-specific rows of Shift, Ctrl and Alt come after the generic ones.
  for (size_t i = std::size(kKeysymRows); i-- > 0;)
    for (Keysym sym : kKeysymRows[i].keysyms)
      if (sym != kNoSymbol && sym == keysym) return kKeysymRows[i].virtual_key;
  return 0;
}

void add_key_code(VirtualKeyCodes& table, uint16_t code, std::span<const Keysym> keysyms) {
  for (int virtual_key = 0; virtual_key < static_cast<int>(table.size()); ++virtual_key) {
    const std::array<Keysym, kMaxKeysyms> wanted = keysyms_of(virtual_key);
    if (wanted[0] == kNoSymbol) continue;
    bool matches = false;
    for (Keysym sym : keysyms)
      for (Keysym want : wanted)
        if (sym != kNoSymbol && sym == want) matches = true;
    KeyCodes& found = table[virtual_key];
    if (matches && found.count < found.codes.size()) found.codes[found.count++] = code;
  }
}

}  // namespace tapline::platform
