// Key names and characters from scripts and text commands: the special names of `key`,
// the key table of `key_action`, virtual-key codes and char_to_usage, then the commands
// that take the name. Every frame must be whole, and `key_action` must leave no key held
// after a press-and-release of the same name.
#include <cstdlib>

#include "command/keyboard.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tapline::fuzzing::install_command_sink();
  if (size < 2) return 0;
  const int modifiers = data[0];
  const int action = data[1];
  const std::string text = tapline::fuzzing::input_text(data + 2, size - 2);
  const char* name = text.c_str();

  for (char c : text) {
    const uint8_t usage = tapline::char_to_usage(c);
    if (usage != tapline::kNoUsage && (usage & ~tapline::kShiftFlag) == 0) std::abort();
  }
  (void)tapline::special_key_usage(name);
  uint8_t modifier = 0;
  uint8_t usage = 0;
  const bool found = tapline::lookup_key(name, modifier, usage);
  const int vk = tapline::key_name_to_vk(name);
  if (vk < 0 || vk > 0xFF) std::abort();
  if (!found && (modifier | usage) != 0) std::abort();  // untouched when not found

  key(name, modifiers, action & 1);
  key_action(name, action);
  key_action(name, 2);
  // A press and release of one name leaves none of its usage held.
  if (found && usage != 0) {
    const auto& held = tapline::held_keys();
    for (const uint8_t slot : tapline::KeyboardFields::read(held.data()).keys)
      if (slot == usage) std::abort();
  }
  key_action("", 1);  // start every input with nothing held
  return 0;
}
