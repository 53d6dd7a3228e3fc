#include "inject/wayland/wayland_keymap.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tapline::device {
namespace {

struct FixedKey {
  uint32_t keycode;
  Keysym plain;
  Keysym shifted;
};

// A US keyboard with its keypad and media keys. Keypad keys give their digits whatever
// Num Lock says: the keysym pressed is the keysym the client sees.
constexpr FixedKey kUsKeyboard[] = {
    {KEY_ESC, XK_Escape, 0},
    {KEY_1, XK_1, XK_exclam},
    {KEY_2, XK_2, XK_at},
    {KEY_3, XK_3, XK_numbersign},
    {KEY_4, XK_4, XK_dollar},
    {KEY_5, XK_5, XK_percent},
    {KEY_6, XK_6, XK_asciicircum},
    {KEY_7, XK_7, XK_ampersand},
    {KEY_8, XK_8, XK_asterisk},
    {KEY_9, XK_9, XK_parenleft},
    {KEY_0, XK_0, XK_parenright},
    {KEY_MINUS, XK_minus, XK_underscore},
    {KEY_EQUAL, XK_equal, XK_plus},
    {KEY_BACKSPACE, XK_BackSpace, 0},
    {KEY_TAB, XK_Tab, 0},
    {KEY_Q, XK_q, XK_Q},
    {KEY_W, XK_w, XK_W},
    {KEY_E, XK_e, XK_E},
    {KEY_R, XK_r, XK_R},
    {KEY_T, XK_t, XK_T},
    {KEY_Y, XK_y, XK_Y},
    {KEY_U, XK_u, XK_U},
    {KEY_I, XK_i, XK_I},
    {KEY_O, XK_o, XK_O},
    {KEY_P, XK_p, XK_P},
    {KEY_LEFTBRACE, XK_bracketleft, XK_braceleft},
    {KEY_RIGHTBRACE, XK_bracketright, XK_braceright},
    {KEY_ENTER, XK_Return, 0},
    {KEY_LEFTCTRL, XK_Control_L, 0},
    {KEY_A, XK_a, XK_A},
    {KEY_S, XK_s, XK_S},
    {KEY_D, XK_d, XK_D},
    {KEY_F, XK_f, XK_F},
    {KEY_G, XK_g, XK_G},
    {KEY_H, XK_h, XK_H},
    {KEY_J, XK_j, XK_J},
    {KEY_K, XK_k, XK_K},
    {KEY_L, XK_l, XK_L},
    {KEY_SEMICOLON, XK_semicolon, XK_colon},
    {KEY_APOSTROPHE, XK_apostrophe, XK_quotedbl},
    {KEY_GRAVE, XK_grave, XK_asciitilde},
    {KEY_LEFTSHIFT, XK_Shift_L, 0},
    {KEY_BACKSLASH, XK_backslash, XK_bar},
    {KEY_Z, XK_z, XK_Z},
    {KEY_X, XK_x, XK_X},
    {KEY_C, XK_c, XK_C},
    {KEY_V, XK_v, XK_V},
    {KEY_B, XK_b, XK_B},
    {KEY_N, XK_n, XK_N},
    {KEY_M, XK_m, XK_M},
    {KEY_COMMA, XK_comma, XK_less},
    {KEY_DOT, XK_period, XK_greater},
    {KEY_SLASH, XK_slash, XK_question},
    {KEY_RIGHTSHIFT, XK_Shift_R, 0},
    {KEY_KPASTERISK, XK_KP_Multiply, 0},
    {KEY_LEFTALT, XK_Alt_L, 0},
    {KEY_SPACE, XK_space, 0},
    {KEY_CAPSLOCK, XK_Caps_Lock, 0},
    {KEY_F1, XK_F1, 0},
    {KEY_F2, XK_F2, 0},
    {KEY_F3, XK_F3, 0},
    {KEY_F4, XK_F4, 0},
    {KEY_F5, XK_F5, 0},
    {KEY_F6, XK_F6, 0},
    {KEY_F7, XK_F7, 0},
    {KEY_F8, XK_F8, 0},
    {KEY_F9, XK_F9, 0},
    {KEY_F10, XK_F10, 0},
    {KEY_NUMLOCK, XK_Num_Lock, 0},
    {KEY_SCROLLLOCK, XK_Scroll_Lock, 0},
    {KEY_KP7, XK_KP_7, 0},
    {KEY_KP8, XK_KP_8, 0},
    {KEY_KP9, XK_KP_9, 0},
    {KEY_KPMINUS, XK_KP_Subtract, 0},
    {KEY_KP4, XK_KP_4, 0},
    {KEY_KP5, XK_KP_5, 0},
    {KEY_KP6, XK_KP_6, 0},
    {KEY_KPPLUS, XK_KP_Add, 0},
    {KEY_KP1, XK_KP_1, 0},
    {KEY_KP2, XK_KP_2, 0},
    {KEY_KP3, XK_KP_3, 0},
    {KEY_KP0, XK_KP_0, 0},
    {KEY_KPDOT, XK_KP_Decimal, 0},
    {KEY_102ND, XK_less, XK_greater},
    {KEY_F11, XK_F11, 0},
    {KEY_F12, XK_F12, 0},
    {KEY_KPENTER, XK_KP_Enter, 0},
    {KEY_RIGHTCTRL, XK_Control_R, 0},
    {KEY_KPSLASH, XK_KP_Divide, 0},
    {KEY_SYSRQ, XK_Print, 0},
    {KEY_RIGHTALT, XK_Alt_R, 0},
    {KEY_HOME, XK_Home, 0},
    {KEY_UP, XK_Up, 0},
    {KEY_PAGEUP, XK_Prior, 0},
    {KEY_LEFT, XK_Left, 0},
    {KEY_RIGHT, XK_Right, 0},
    {KEY_END, XK_End, 0},
    {KEY_DOWN, XK_Down, 0},
    {KEY_PAGEDOWN, XK_Next, 0},
    {KEY_INSERT, XK_Insert, 0},
    {KEY_DELETE, XK_Delete, 0},
    {KEY_MUTE, XF86XK_AudioMute, 0},
    {KEY_VOLUMEDOWN, XF86XK_AudioLowerVolume, 0},
    {KEY_VOLUMEUP, XF86XK_AudioRaiseVolume, 0},
    {KEY_POWER, XF86XK_PowerOff, 0},
    {KEY_KPEQUAL, XK_KP_Equal, 0},
    {KEY_PAUSE, XK_Pause, 0},
    {KEY_LEFTMETA, XK_Super_L, 0},
    {KEY_RIGHTMETA, XK_Super_R, 0},
    {KEY_COMPOSE, XK_Menu, 0},
    {KEY_STOP, XK_Cancel, 0},
    {KEY_AGAIN, XK_Redo, 0},
    {KEY_UNDO, XK_Undo, 0},
    {KEY_COPY, XF86XK_Copy, 0},
    {KEY_PASTE, XF86XK_Paste, 0},
    {KEY_FIND, XK_Find, 0},
    {KEY_CUT, XF86XK_Cut, 0},
    {KEY_HELP, XK_Help, 0},
    {KEY_BACK, XF86XK_Back, 0},
    {KEY_NEXTSONG, XF86XK_AudioNext, 0},
    {KEY_PLAYPAUSE, XF86XK_AudioPlay, 0},
    {KEY_PREVIOUSSONG, XF86XK_AudioPrev, 0},
    {KEY_STOPCD, XF86XK_AudioStop, 0},
    {KEY_HOMEPAGE, XF86XK_HomePage, 0},
    {KEY_F13, XK_F13, 0},
    {KEY_F14, XK_F14, 0},
    {KEY_F15, XK_F15, 0},
    {KEY_F16, XK_F16, 0},
    {KEY_F17, XK_F17, 0},
    {KEY_F18, XK_F18, 0},
    {KEY_F19, XK_F19, 0},
    {KEY_F20, XK_F20, 0},
    {KEY_F21, XK_F21, 0},
    {KEY_F22, XK_F22, 0},
    {KEY_F23, XK_F23, 0},
    {KEY_F24, XK_F24, 0},
};

// X clients (through Xwayland) know keycodes up to 255 only, which is evdev 247.
constexpr uint32_t kLastKeycode = 255 - 8;

std::string keysym_name(Keysym keysym) {
  char name[64];
  if (xkb_keysym_get_name(keysym, name, sizeof name) < 0) return "NoSymbol";
  return name;
}

uint32_t mask_of(xkb_keymap* keymap, const char* name) {
  const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, name);
  return index == XKB_MOD_INVALID ? 0 : 1u << index;
}

}  // namespace

WaylandKeymap::WaylandKeymap() : context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {
  for (const FixedKey& key : kUsKeyboard) keys_.push_back({key.keycode, key.plain, key.shifted});
  for (uint32_t code = kLastKeycode; code > 0; --code)
    if (std::none_of(keys_.begin(), keys_.end(),
                     [&](const Key& key) { return key.keycode == code; }))
      spares_.push_back({code});
}

WaylandKeymap::~WaylandKeymap() { xkb_context_unref(context_); }

WaylandKeymap::Place WaylandKeymap::find(Keysym keysym) {
  for (Spare& spare : spares_)
    if (spare.bound == keysym) {
      spare.last_use = ++uses_;
      return {spare.keycode, false};
    }
  for (const Key& key : keys_)
    if (key.plain == keysym) return {key.keycode, false};
  for (const Key& key : keys_)
    if (key.shifted == keysym) return {key.keycode, true};
  return {};
}

uint32_t WaylandKeymap::bind(Keysym keysym, const std::vector<uint32_t>& in_use) {
  Spare* chosen = nullptr;
  for (Spare& spare : spares_) {
    if (std::find(in_use.begin(), in_use.end(), spare.keycode) != in_use.end()) continue;
    // Free ones first, then the one used longest ago.
    if (chosen == nullptr || (spare.bound == 0 && chosen->bound != 0) ||
        ((spare.bound == 0) == (chosen->bound == 0) && spare.last_use < chosen->last_use))
      chosen = &spare;
  }
  if (chosen == nullptr) return 0;
  chosen->bound = keysym;
  chosen->last_use = ++uses_;
  return chosen->keycode;
}

std::string WaylandKeymap::text() const {
  std::string keycodes = "  xkb_keycodes \"tapline\" {\n    minimum = 8;\n    maximum = 255;\n";
  std::string symbols = "  xkb_symbols \"tapline\" {\n    name[group1] = \"Tapline\";\n";
  // Key names of four characters at most, as X clients need them.
  const auto add = [&](uint32_t keycode, const std::string& levels) {
    const std::string name = "<K" + std::to_string(keycode + 8) + ">";
    keycodes += "    " + name + " = " + std::to_string(keycode + 8) + ";\n";
    symbols += "    key " + name + " { [ " + levels + " ] };\n";
  };
  for (const Key& key : keys_)
    add(key.keycode,
        keysym_name(key.plain) + (key.shifted != 0 ? ", " + keysym_name(key.shifted) : ""));
  for (const Spare& spare : spares_)
    if (spare.bound != 0) add(spare.keycode, keysym_name(spare.bound));
  keycodes +=
      "    indicator 1 = \"Caps Lock\";\n    indicator 2 = \"Num Lock\";\n"
      "    indicator 3 = \"Scroll Lock\";\n  };\n";
  symbols +=
      "    modifier_map Shift { Shift_L, Shift_R };\n"
      "    modifier_map Lock { Caps_Lock };\n"
      "    modifier_map Control { Control_L, Control_R };\n"
      "    modifier_map Mod1 { Alt_L, Alt_R };\n"
      "    modifier_map Mod2 { Num_Lock };\n"
      "    modifier_map Mod4 { Super_L, Super_R };\n  };\n";
  return "xkb_keymap {\n" + keycodes +
         "  xkb_types \"tapline\" { include \"complete\" };\n"
         "  xkb_compatibility \"tapline\" { include \"complete\" };\n" +
         symbols + "};\n";
}

std::string WaylandKeymap::compile(std::string& error) {
  if (context_ == nullptr) {
    error = "libxkbcommon cannot make a context";
    return {};
  }
  xkb_keymap* keymap = xkb_keymap_new_from_string(
      context_, text().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr) {
    error = "libxkbcommon cannot compile the keymap (are the XKB data files installed?)";
    return {};
  }
  masks_ = {mask_of(keymap, XKB_MOD_NAME_SHIFT), mask_of(keymap, XKB_MOD_NAME_CAPS),
            mask_of(keymap, XKB_MOD_NAME_CTRL),  mask_of(keymap, XKB_MOD_NAME_ALT),
            mask_of(keymap, XKB_MOD_NAME_NUM),   mask_of(keymap, XKB_MOD_NAME_LOGO)};
  char* complete = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  xkb_keymap_unref(keymap);
  if (complete == nullptr) {
    error = "libxkbcommon cannot write the keymap";
    return {};
  }
  std::string result(complete, std::strlen(complete) + 1);
  std::free(complete);
  return result;
}

}  // namespace tapline::device
