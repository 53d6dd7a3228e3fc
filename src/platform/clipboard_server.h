// The serving process behind a clipboard text. On X11 and on Wayland alike the clipboard
// is no storage: its owner hands the text to each program that asks. So that the text
// outlives the script, setting it starts a small detached process (as clipboard tools do)
// that owns the clipboard until another program takes it.
#pragma once

#include <functional>

namespace tapline::platform {

// The serving process's name, and the title of its window where it has one.
inline constexpr const char kClipboardServerName[] = "tapline-clipboard";

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
  no_answer = 0,      // the process did not start or said nothing in time
};

// Runs `serve` in a detached process (its own session, named kClipboardServerName, standard
// streams on /dev/null, no descriptor of the script but the report descriptor, SIGPIPE
// ignored) and waits until it reports. `serve` reports exactly once through
// `report_server_status` and then serves; it never returns.
ServerStatus start_clipboard_server(const std::function<void(int report_fd)>& serve);
void report_server_status(int report_fd, ServerStatus status);

// The outcome for the caller: true when owned, else one line on standard error naming
// `display` ("the X11 display", "the Wayland display").
bool clipboard_server_started(ServerStatus status, const char* display);

}  // namespace tapline::platform
