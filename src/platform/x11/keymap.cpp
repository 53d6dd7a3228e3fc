#include "platform/x11/keymap.h"

#include <span>
#include <vector>

namespace tapline::platform {
namespace {

// Calls `visit(keycode, keysyms)` for each keycode of the display with the symbols of its
// levels in order. Nothing when the server gives no mapping.
template <typename Visit>
void for_each_key(Display* display, Visit visit) {
  int min_keycode = 0, max_keycode = 0;
  XDisplayKeycodes(display, &min_keycode, &max_keycode);
  int per_keycode = 0;
  KeySym* mapping = XGetKeyboardMapping(display, static_cast<KeyCode>(min_keycode),
                                        max_keycode - min_keycode + 1, &per_keycode);
  if (mapping == nullptr) return;
  std::vector<Keysym> keysyms(static_cast<size_t>(per_keycode));
  for (int keycode = min_keycode; keycode <= max_keycode; ++keycode) {
    const KeySym* syms = mapping + (keycode - min_keycode) * per_keycode;
    for (int level = 0; level < per_keycode; ++level)
      keysyms[static_cast<size_t>(level)] = static_cast<Keysym>(syms[level]);
    visit(static_cast<uint16_t>(keycode), std::span<const Keysym>(keysyms));
  }
  XFree(mapping);
}

}  // namespace

void map_x11_keys(Display* display, VirtualKeyCodes& table) {
  table = {};
  for_each_key(display, [&](uint16_t keycode, std::span<const Keysym> keysyms) {
    add_key_code(table, keycode, keysyms);
  });
}

void map_x11_key_events(Display* display, X11KeyVirtualKeys& keys) {
  keys.fill(0);
  for_each_key(display, [&](uint16_t keycode, std::span<const Keysym> keysyms) {
    if (keycode >= keys.size()) return;
    for (Keysym keysym : keysyms) {
      keys[keycode] = static_cast<uint8_t>(virtual_key_of_keysym(keysym));
      if (keys[keycode] != 0) return;
    }
  });
}

}  // namespace tapline::platform
