// The keyboard of the Wayland injector: a keymap of its own, so that every keysym it presses
// has a key. The keys of a US keyboard (and the media keys) sit on their evdev keycodes; any
// other keysym or character is bound on demand to a keycode no key uses, the least recently
// used one when all are taken. The keymap is XKB text, compiled here with libxkbcommon so
// that the compositor receives it complete (no includes left to resolve) and valid.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inject/desktop_keys.h"

struct xkb_context;
struct xkb_keymap;

namespace tapline::device {

// Modifier masks of the compiled keymap, as the virtual keyboard's `modifiers` request
// takes them.
struct ModifierMasks {
  uint32_t shift = 0;
  uint32_t lock = 0;
  uint32_t control = 0;
  uint32_t alt = 0;
  uint32_t num_lock = 0;
  uint32_t super = 0;
};

class WaylandKeymap {
 public:
  WaylandKeymap();
  ~WaylandKeymap();
  WaylandKeymap(const WaylandKeymap&) = delete;
  WaylandKeymap& operator=(const WaylandKeymap&) = delete;

  // Where a keysym is: the evdev keycode and whether it sits on the shifted level; keycode
  // 0 when no key has it yet.
  struct Place {
    uint32_t keycode = 0;
    bool shifted = false;
  };
  Place find(Keysym keysym);
  // Binds the keysym to a spare keycode that `in_use` does not hold; 0 when every spare is
  // held. The keymap must then be compiled and sent again.
  uint32_t bind(Keysym keysym, const std::vector<uint32_t>& in_use);

  // Compiles the keymap as it stands: its complete text (with the terminating NUL, as the
  // compositor reads it), or empty with the reason in `error`.
  std::string compile(std::string& error);
  // The masks of the last compiled keymap.
  const ModifierMasks& masks() const { return masks_; }

 private:
  struct Key {
    uint32_t keycode;  // evdev
    Keysym plain;
    Keysym shifted;  // 0: one level
  };
  struct Spare {
    uint32_t keycode;
    Keysym bound = 0;
    uint64_t last_use = 0;
  };
  std::string text() const;

  std::vector<Key> keys_;
  std::vector<Spare> spares_;
  uint64_t uses_ = 0;
  xkb_context* context_ = nullptr;
  ModifierMasks masks_;
};

}  // namespace tapline::device
