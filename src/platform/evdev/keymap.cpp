#include "platform/evdev/keymap.h"

#include <linux/input.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <span>
#include <vector>

#include "system/console.h"

namespace tapline::platform {
namespace {

// XKB numbers a key by its evdev code plus 8.
constexpr xkb_keycode_t kXkbKeycodeOffset = 8;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// A value of a shell-style KEY="value" line, its quotes removed.
std::string unquoted(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// Calls `visit(code, keysyms)` for each key of the layout's keymap with its evdev code and
// the symbols of its levels in order. False when XKB has no keymap for the layout.
template <typename Visit>
bool for_each_key(const KeyboardLayout& layout, Visit visit) {
  // The names are given whole: none is filled in from the environment behind our back.
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  if (context == nullptr) return false;
  xkb_context_set_log_level(context, XKB_LOG_LEVEL_CRITICAL);  // the caller says what failed
  const xkb_rule_names names{nullptr, layout.model.c_str(), layout.layout.c_str(),
                             layout.variant.c_str(), layout.options.c_str()};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  xkb_context_unref(context);
  if (keymap == nullptr) return false;
  std::vector<Keysym> keysyms;
  const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
  for (xkb_keycode_t keycode = xkb_keymap_min_keycode(keymap); keycode <= last; ++keycode) {
    if (keycode < kXkbKeycodeOffset) continue;
    keysyms.clear();
    const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, keycode, 0);
    for (xkb_level_index_t level = 0; level < levels; ++level) {
      const xkb_keysym_t* syms = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(keymap, keycode, 0, level, &syms);
      keysyms.insert(keysyms.end(), syms, syms + count);
    }
    visit(static_cast<uint16_t>(keycode - kXkbKeycodeOffset), std::span<const Keysym>(keysyms));
  }
  xkb_keymap_unref(keymap);
  return true;
}

}  // namespace

KeyboardLayout host_keyboard_layout() {
  if (!environment("XKB_DEFAULT_LAYOUT").empty())
    return {environment("XKB_DEFAULT_MODEL"), environment("XKB_DEFAULT_LAYOUT"),
            environment("XKB_DEFAULT_VARIANT"), environment("XKB_DEFAULT_OPTIONS")};
  KeyboardLayout layout;
  std::ifstream settings("/etc/default/keyboard");
  std::string line;
  while (std::getline(settings, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = unquoted(line.substr(equals + 1));
    if (key == "XKBMODEL") layout.model = value;
    if (key == "XKBLAYOUT") layout.layout = value;
    if (key == "XKBVARIANT") layout.variant = value;
    if (key == "XKBOPTIONS") layout.options = value;
  }
  return layout;
}

bool map_evdev_keys(const KeyboardLayout& layout, VirtualKeyCodes& table) {
  VirtualKeyCodes mapped{};
  const bool known = for_each_key(layout, [&](uint16_t code, std::span<const Keysym> keysyms) {
    add_key_code(mapped, code, keysyms);
  });
  if (!known) return false;
  for (auto [virtual_key, button] :
       {std::pair{0x01, BTN_LEFT}, {0x02, BTN_RIGHT}, {0x04, BTN_MIDDLE}})
    mapped[virtual_key].codes[mapped[virtual_key].count++] = button;
  table = mapped;
  return true;
}

bool map_evdev_key_events(const KeyboardLayout& layout, EvdevKeyVirtualKeys& keys) {
  EvdevKeyVirtualKeys mapped{};
  // The first of a key's symbols that names a virtual key, so a keypad key whose first
  // level is KP_Home is still the keypad's 7.
  const bool known = for_each_key(layout, [&](uint16_t code, std::span<const Keysym> keysyms) {
    for (Keysym keysym : keysyms) {
      if (code >= mapped.size()) return;
      mapped[code] = static_cast<uint8_t>(virtual_key_of_keysym(keysym));
      if (mapped[code] != 0) return;
    }
  });
  if (known) keys = mapped;
  return known;
}

void say_layout_unknown(const KeyboardLayout& layout) {
  static std::once_flag said;
  std::call_once(said, [&] {
    system::console_diagnostic(
        "keyboard layout \"%s\" (variant \"%s\") is unknown to XKB; keys are named as on a US "
        "layout\n",
        layout.layout.c_str(), layout.variant.c_str());
  });
}

}  // namespace tapline::platform
