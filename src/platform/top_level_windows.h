// Top-level windows of the desktop: found by title, moved by handle.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tapline::platform {

struct WindowPlacement {
  // The outer rectangle (frame and border included) in screen coordinates.
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  uint64_t handle = 0;
};

class TopLevelWindows {
 public:
  virtual ~TopLevelWindows() = default;
  // The first top-level window whose title is `title` (locale's character set); with no
  // title, the first one that has any title. Empty when there is none.
  virtual std::optional<WindowPlacement> find(const char* title) = 0;
  // Puts the window's outer top-left corner at (x, y), keeping its size, raises and shows
  // it. False when there is no such window.
  virtual bool move(uint64_t handle, int x, int y) = 0;
};

// The current window service. By default, when SWAYSOCK or I3SOCK names a window
// manager's IPC socket, that window manager's tree (Wayland and Xwayland windows alike),
// unless TAPLINE_DESKTOP=x11 asks for X11; on GNOME with our Shell extension enabled, the
// Shell's windows; otherwise the X11 display, which on another
// Wayland desktop (platform/desktop.h) holds only the Xwayland windows (said once on
// standard error). Tests substitute their own.
TopLevelWindows& top_level_windows();
// Replaces the window service; nullptr restores the default.
void set_top_level_windows(TopLevelWindows* replacement);

// The backends, each opened by its row in the seam's table (platform/backend_table.h);
// each gives nullptr with the reason in `why_not`.
//
// The windows of the X11 display (the process's own connection, opened at each use), so
// it always opens.
std::unique_ptr<TopLevelWindows> open_x11_windows(std::string& why_not);
// wm_ipc/: the windows that an i3-compatible window manager lists on the IPC socket named
// by SWAYSOCK (sway) or I3SOCK (i3 and sway), when that is set. Handles are its container
// ids.
std::unique_ptr<TopLevelWindows> open_sway_windows(std::string& why_not);
std::unique_ptr<TopLevelWindows> open_i3_windows(std::string& why_not);
// gnome/: GNOME's windows (Wayland and Xwayland alike) through our Shell extension
// (extras/gnome-shell), when it answers on GNOME Shell's bus name. Handles are mutter's
// window ids.
std::unique_ptr<TopLevelWindows> open_gnome_windows(std::string& why_not);
// kde/: the windows of KWin through KWin scripts, when KWin is on the session bus. Handles
// number KWin's window ids in the order first seen.
std::unique_ptr<TopLevelWindows> open_kwin_windows(std::string& why_not);

}  // namespace tapline::platform
