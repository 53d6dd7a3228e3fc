// A private headless KWin (KDE Plasma's compositor) for tests that need a KDE desktop:
// kwin_wayland on its virtual backend, with Xwayland, in a private desktop session (a
// session bus, PipeWire and WirePlumber of its own). KWin runs from a copy of its program:
// the installed one carries a file capability that a container cannot grant. Its grants
// (.desktop files naming programs) come from the data folders a test names, as an install
// puts them. Each program is ended by its pid when the object goes.
#pragma once

#include <string>
#include <vector>

#include "desktop_session.h"

namespace tapline::testing {

struct KWinOptions {
  int width = 1280;  // of each output, in logical pixels (the virtual outputs' unit)
  int height = 720;
  int outputs = 1;  // side by side from (0, 0)
  int scale = 1;
  // Folders put before /usr/share in KWin's XDG_DATA_DIRS: where it finds the
  // applications/*.desktop files that grant restricted interfaces.
  std::vector<std::string> data_dirs;
};

class KWinServer {
 public:
  // Throws std::runtime_error when the desktop does not start; `skip_reason` (below) says
  // when it cannot start on this machine at all.
  explicit KWinServer(const KWinOptions& options = {});
  ~KWinServer();
  KWinServer(const KWinServer&) = delete;
  KWinServer& operator=(const KWinServer&) = delete;

  // Why no test can run KWin here ("kwin_wayland is not installed"), or empty.
  static std::string skip_reason();

  const std::string& runtime_dir() const { return session_.runtime_dir(); }
  // "WAYLAND_DISPLAY=…", "XDG_RUNTIME_DIR=…", "DBUS_SESSION_BUS_ADDRESS=…",
  // "XDG_CURRENT_DESKTOP=KDE" and "DISPLAY=…" (Xwayland) for a client's environment.
  std::vector<std::string> client_environment() const;
  // Xwayland's display name.
  const std::string& x_display() const { return x_display_; }
  // What KWin wrote on standard error so far (its scripts' print() lines among it).
  std::string log() const;

 private:
  DesktopSession session_;
  std::string x_display_;
};

}  // namespace tapline::testing
