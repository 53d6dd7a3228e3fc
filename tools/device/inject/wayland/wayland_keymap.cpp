#include "inject/wayland/wayland_keymap.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "inject/us_keyboard.h"

namespace tapline::device {
namespace {

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
  for (const UsKey& key : us_keyboard()) keys_.push_back({key.keycode, key.plain, key.shifted});
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
