// The serving process behind a clipboard text. On X11 and on Wayland alike the clipboard
// is no storage: its owner hands the text to each program that asks. So that the text
// outlives the script, setting it starts a small detached process (as clipboard tools do)
// that owns the clipboard until another program takes it. That process is this program
// started again (its own image, so that it holds none of the script's memory, threads or
// descriptors) with kServeClipboardOption as its first argument.
#pragma once

#include <string>
#include <string_view>

namespace tapline::platform {

// The serving process's name, and the title of its window where it has one.
inline constexpr const char kClipboardServerName[] = "tapline-clipboard";

// The first argument that starts this program as a serving process; the backend's name
// ("x11", "wayland") follows. Each program that sets the clipboard answers it before
// anything else (host/modes.cpp; the tests' main).
inline constexpr const char kServeClipboardOption[] = "--serve-clipboard";

// Once another program has taken the clipboard, the serving process still finishes the
// transfers already started; a reader that takes nothing for this long is given up, so
// that the process ends.
inline constexpr int kStalledReaderTimeoutMs = 10000;

// What the serving process reports once it has tried to take the clipboard.
enum class ServerStatus : char {
  owned = '1',
  no_display = 'D',   // the display server could not be reached
  not_owned = 'O',    // another program kept the clipboard
  unsupported = 'U',  // the display server offers no clipboard to this kind of client
  // The setter's own verdicts, never reported.
  timed_out = 'T',  // said nothing in time, or a stop came first; the process was ended
  said = 'S',       // the process could not be started, which was said on standard error
  not_started = 0,  // the process ended without a report
};

// Starts the serving process of `backend` for the UTF-8 text and waits (bounded, and
// ending on a stop request) until it reports. One that does not report in time is ended
// before this returns, so that it cannot take the clipboard later.
ServerStatus start_clipboard_server(const char* backend, std::string_view utf8);

// The outcome for the caller: true when owned, else one line on standard error naming
// `display` ("the X11 display", "the Wayland display").
bool clipboard_server_started(ServerStatus status, const char* display);

// ---- In the serving process ----

// Takes the clipboard for the text, reports exactly once through `report_fd` (then closed)
// and serves until another program has the clipboard and the transfers begun are done.
using ClipboardServe = void (*)(int report_fd, std::string utf8);

// The serving process's main: reads the text start_clipboard_server gave it, detaches
// from the script's directory and serves. Returns the exit status.
int run_clipboard_server(ClipboardServe serve);
void report_server_status(int report_fd, ServerStatus status);

}  // namespace tapline::platform
