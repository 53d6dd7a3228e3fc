// Key and pointer events of the machine that runs the program, as they happen, whichever
// window has the focus. A listener reads them on a thread of its own and hands each one to
// a sink; nothing is grabbed, so every other program still gets its input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tapline::platform {

enum class InputKind : uint8_t {
  key_down,     // a key went down (auto-repeat is not reported)
  key_up,       // a key came up
  button_down,  // a mouse button went down, or one wheel step (buttons 4 to 7)
  button_up,    // a mouse button came up (wheel steps have none)
  motion,       // the pointer moved; only for listeners that ask for moves
};

// Mouse buttons as listeners number them: 1 left, 2 middle, 3 right, wheel steps 4 up,
// 5 down, 6 left, 7 right, 8 back, 9 forward.
inline constexpr int kLeftButton = 1;
inline constexpr int kMiddleButton = 2;
inline constexpr int kRightButton = 3;
inline constexpr int kWheelUp = 4;
inline constexpr int kWheelDown = 5;
inline constexpr int kWheelLeft = 6;
inline constexpr int kWheelRight = 7;

struct InputEvent {
  InputKind kind;
  // Keys: the Windows virtual-key code (1 to 255; Shift, Ctrl and Alt by side, 0xA0 to
  // 0xA5). Buttons: the button number above. Moves: 0.
  int code;
  // Buttons and moves: the pointer's screen position just after the event.
  int x;
  int y;
  // When it happened: milliseconds on the input system's own clock, wrapping at 2^32.
  uint32_t time_ms;
};

// Called on the listener's thread, one event at a time, in the order they happened.
using InputSink = void (*)(const InputEvent& event, void* context);

struct InputListenOptions {
  // Report pointer moves too, at most one per this many milliseconds; 0 reports none.
  int motion_interval_ms = 0;
};

// A running listener; destroying it stops its thread.
class InputListener {
 public:
  virtual ~InputListener() = default;
};

// Starts listening on the host's input source, the key source that the key state reads
// too (platform/key_state.h); events that happen after it returns reach the sink. nullptr
// when that source cannot be read (said on standard error, once per process).
std::unique_ptr<InputListener> listen_to_host_input(InputSink sink, void* context,
                                                    const InputListenOptions& options = {});

// The backends, each opened by its row in the seam's table (platform/backend_table.h);
// each listens on a thread of its own, or gives nullptr with the reason in `why_not`.
//
// x11/: XInput 2 raw events on the root window of the display named by DISPLAY, over a
// connection of its own; refused when there is no display or the server lacks XInput 2.1.
std::unique_ptr<InputListener> listen_to_x11_input(InputSink sink, void* context,
                                                   const InputListenOptions& options,
                                                   std::string& why_not);
// evdev/: every keyboard, mouse and touchpad under /dev/input, following devices as they
// come and go. The devices know no screen positions: buttons and wheel steps come with x
// and y -1, and a listener that asks for pointer moves is refused; refused also when the
// devices cannot be read.
std::unique_ptr<InputListener> listen_to_evdev_input(InputSink sink, void* context,
                                                     const InputListenOptions& options,
                                                     std::string& why_not);

}  // namespace tapline::platform
