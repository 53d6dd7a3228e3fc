// The Wayland injector's own keymap: the keys of a US keyboard where a keyboard has them,
// any other keysym bound to a spare keycode, and a compiled text that gives each keycode
// its keysym back.
#include "inject/wayland/wayland_keymap.h"

#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <set>
#include <string>
#include <vector>

namespace {

using tapline::device::Keysym;
using tapline::device::WaylandKeymap;

constexpr Keysym kFirstHan = 0x1000000 + 0x4E00;

// The keysym a keycode of the compiled keymap gives at the level chosen by `shifted`.
Keysym keysym_at(const std::string& text, uint32_t keycode, bool shifted) {
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = xkb_keymap_new_from_string(context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                  XKB_KEYMAP_COMPILE_NO_FLAGS);
  Keysym keysym = 0;
  if (keymap != nullptr) {
    xkb_state* state = xkb_state_new(keymap);
    const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    xkb_state_update_mask(state, shifted ? shift : 0, 0, 0, 0, 0, 0);
    keysym = xkb_state_key_get_one_sym(state, keycode + 8);
    xkb_state_unref(state);
  }
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  return keysym;
}

TEST(WaylandKeymap, KeyboardKeysAndCharactersBoundOnDemand) {
  WaylandKeymap keymap;
  EXPECT_EQ(keymap.find(XK_exclam).keycode, static_cast<uint32_t>(KEY_1));
  EXPECT_TRUE(keymap.find(XK_exclam).shifted);
  EXPECT_EQ(keymap.find(kFirstHan).keycode, 0u);

  // Bind characters until a keycode comes round again, holding the first one: then every
  // spare was taken, and the one used longest ago that is not held gave way (the second).
  const std::vector<uint32_t> held = {keymap.bind(kFirstHan, {})};
  const uint32_t second = keymap.bind(kFirstHan + 1, held);
  std::set<uint32_t> bound = {held[0], second};
  Keysym last = kFirstHan + 2;
  for (uint32_t keycode; bound.insert(keycode = keymap.bind(last, held)).second; ++last) {
    EXPECT_EQ(keymap.find(last).keycode, keycode);
    EXPECT_LE(keycode, 247u);  // within what X clients can take
  }
  EXPECT_GT(bound.size(), 60u);
  EXPECT_EQ(keymap.find(last).keycode, second);
  EXPECT_EQ(keymap.find(kFirstHan + 1).keycode, 0u);
  EXPECT_EQ(keymap.find(kFirstHan).keycode, held[0]);

  std::string error;
  const std::string text = keymap.compile(error);
  ASSERT_FALSE(text.empty()) << error;
  EXPECT_EQ(text.back(), '\0');  // the compositor reads up to the terminating NUL
  EXPECT_EQ(keysym_at(text, KEY_A, false), static_cast<Keysym>(XK_a));
  EXPECT_EQ(keysym_at(text, KEY_A, true), static_cast<Keysym>(XK_A));
  EXPECT_EQ(keysym_at(text, held[0], false), kFirstHan);
  EXPECT_EQ(keysym_at(text, second, true), last);
  EXPECT_NE(keymap.masks().shift, 0u);
  EXPECT_NE(keymap.masks().alt, keymap.masks().control);
}

}  // namespace
