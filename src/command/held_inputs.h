// What the device holds down on the target after the frames sent so far: keys, mouse and
// absolute-mouse buttons, touch contacts, joystick buttons and a consumer key. makeHid
// notes every frame here, so that a run that is stopped between a press and its release
// can still lift whatever it left held.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>

#include "command/reports.h"

namespace tapline {

// The held state of one output channel, decoded from the reports as they were sent.
struct HeldInputs {
  KeyboardReport keyboard{};  // the last keyboard report
  uint8_t mouse_buttons = 0;
  ReportBytes<ReportType::AbsoluteMouse> absolute{};  // the last absolute-mouse report
  uint16_t joystick_buttons = 0;
  uint16_t consumer_usage = 0;
  std::bitset<kTouchContactCount> touch_down;
  // The last report of each contact, so that a contact is lifted where it is rather than
  // at the origin.
  std::array<TouchFields, kTouchContactCount> touch_last{};

  bool keyboard_held() const;
  bool absolute_held() const { return absolute[AbsoluteMouseFields::kButtons] != 0; }
  bool any() const;
};

// Decodes one report that is being sent (type byte with its channel bits, report bytes).
// Cheap and allocation-free: it runs for every frame.
void note_sent_report(uint8_t type_byte, const uint8_t* report, size_t length);

// The held state of an output channel (0 to 3).
const HeldInputs& held_inputs(uint8_t channel);
// True when some channel holds anything.
bool anything_held();
// Sends, on each channel that holds something and through the installed SendCallback
// (with the transport's own pacing), the reports that lift it: an all-keys-up keyboard
// report, mouse and joystick reports without buttons, the absolute-mouse report without
// buttons at its last position, a consumer report without usage, and one lift per touch
// contact. Returns the number of frames sent; 0 when nothing was held or no SendCallback
// is installed.
int release_held_inputs();
// Forgets every held state without sending anything (for a new device connection).
void forget_held_inputs();

}  // namespace tapline
