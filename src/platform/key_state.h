// The keyboard (and mouse-button) state of the machine that runs the program, keyed by
// Windows virtual-key codes, as scripts ask for it.
#pragma once

#include <cstdint>
#include <string>

namespace tapline::platform {

// A key's state reads like the Windows key state: the top bit (a negative value) while
// the key is held, bit 0 while it is toggled on (a lock key whose lock is on).
inline constexpr int16_t kKeyHeld = -128;  // 0xFF80, the value of a held key
inline constexpr int16_t kKeyToggled = 0x0001;

class KeyStateSource {
 public:
  virtual ~KeyStateSource() = default;
  // The state of one virtual-key code; 0 for codes that have no key here.
  virtual int16_t state(int virtual_key) = 0;
  // Whether the key can ever read as held here: false without a desktop, and for codes
  // that have no key on the host keyboard. Lets a wait without end refuse to start.
  virtual bool can_be_held(int virtual_key) = 0;
};

// Where the host's keys are read, for their state and their events alike: the name of the
// row chosen in the key-state table, "x11" or "evdev". TAPLINE_KEYS chooses (x11, evdev,
// or auto: the X11 desktop in an X11 session, the input devices otherwise, a Wayland
// desktop included). A build without the evdev backend reads X11's keys instead, and says
// why. Chosen on first use.
const char* chosen_key_source();

// The current key-state source: that of the chosen key source. Tests substitute their own.
KeyStateSource& key_state();
// Replaces the key-state source; nullptr restores the default.
void set_key_state(KeyStateSource* replacement);

// The backends, each opened by its row in the seam's table (platform/backend_table.h);
// each gives the process's one source of its kind, or nullptr with the reason in
// `why_not`.
//
// x11/: the display's pressed keys, pointer buttons and lock indicators. Its table of
// keycodes is built from the keyboard mapping on first use. Without a display every key
// reads as up and not toggled, so it always opens.
KeyStateSource* open_x11_key_state(std::string& why_not);
// evdev/: the keys held and the lock lights lit on any keyboard, mouse or touchpad under
// /dev/input, following devices as they come and go. The devices are opened on first
// use; without read access to them (the input group) that is said once on standard error
// and every key reads as up and not toggled, so it always opens.
KeyStateSource* open_evdev_key_state(std::string& why_not);

}  // namespace tapline::platform
