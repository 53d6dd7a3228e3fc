// The desktop's text clipboard.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tapline::platform {

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Puts the text (locale's character set) on the clipboard, replacing what was there. It
  // stays available after the program has ended, until another program takes the
  // clipboard. False, said on standard error, when it cannot be done.
  virtual bool set_text(std::string_view text) = 0;
  // The clipboard's text in the locale's character set, cut at a zero byte. Empty when
  // the clipboard holds no text, and (said in one line on standard error) when its owner
  // has not given all of it within kClipboardReadTimeout or gives more than
  // clipboard_text_cap() bytes (platform/clipboard_read.h). A stop request ends the read
  // at once.
  virtual std::string get_text() = 0;
};

// The current clipboard. By default, on a Wayland desktop (platform/desktop.h) whose
// compositor offers the wlroots data-control protocol, the Wayland clipboard; on GNOME,
// mutter's remote desktop clipboard; otherwise the
// X11 CLIPBOARD selection, which on another Wayland desktop reaches Wayland programs only
// through Xwayland (said once on standard error). Tests substitute their own.
Clipboard& clipboard();
// Replaces the clipboard; nullptr restores the default.
void set_clipboard(Clipboard* replacement);

// The backends, each opened by its row in the seam's table (platform/backend_table.h);
// each gives nullptr with the reason in `why_not`.
//
// The X11 CLIPBOARD selection; it connects at each use, so it always opens.
std::unique_ptr<Clipboard> open_x11_clipboard(std::string& why_not);
// wayland/: the clipboard of the Wayland display through wlroots data control, when the
// display can be reached and offers it.
std::unique_ptr<Clipboard> open_wayland_clipboard(std::string& why_not);
// gnome/: GNOME's clipboard through a mutter remote desktop session, when mutter's remote
// desktop service is on the session bus.
std::unique_ptr<Clipboard> open_gnome_clipboard(std::string& why_not);

// The serving process (platform/clipboard_server.h): the program started with
// kServeClipboardOption followed by `arguments`, the backend's name. Returns the exit status.
int serve_clipboard(int count, char** arguments);
// Each backend's side of it: takes the clipboard for the UTF-8 text, reports through
// `report_fd` and serves.
void serve_x11_clipboard(int report_fd, std::string utf8);
void serve_wayland_clipboard(int report_fd, std::string utf8);
void serve_gnome_clipboard(int report_fd, std::string utf8);

}  // namespace tapline::platform
