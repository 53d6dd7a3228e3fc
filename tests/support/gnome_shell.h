// A private headless GNOME Shell for tests, with our Shell extension enabled: the Shell in
// a private desktop session (a session bus, PipeWire and WirePlumber of its own), a second
// bus as its system bus, and /run/systemd hidden in a mount namespace of its own so that it
// does not look for logind. Each program is ended by its pid when the object goes.
#pragma once

#include <string>
#include <vector>

#include "desktop_session.h"

namespace tapline::testing {

class GnomeShellServer {
 public:
  // Throws std::runtime_error when the Shell does not start. With `xwayland` the Shell runs
  // Xwayland for X11 clients (x11_display()); without, it has none.
  explicit GnomeShellServer(bool xwayland = false);
  ~GnomeShellServer();
  GnomeShellServer(const GnomeShellServer&) = delete;
  GnomeShellServer& operator=(const GnomeShellServer&) = delete;

  // Why no test can run the Shell here ("gnome-shell is not installed"), or empty.
  static std::string skip_reason();

  const std::string& runtime_dir() const { return session_.runtime_dir(); }
  // What a client of the Shell needs: WAYLAND_DISPLAY, XDG_RUNTIME_DIR, the session bus,
  // XDG_CURRENT_DESKTOP=GNOME; no DISPLAY.
  std::vector<std::string> client_environment() const;
  // What an X11 client of the Shell's Xwayland needs besides client_environment():
  // DISPLAY (":1") and XAUTHORITY (the file mutter made); empty without Xwayland.
  std::vector<std::string> x11_environment() const {
    return {"DISPLAY=" + x11_display_, "XAUTHORITY=" + x11_authority_};
  }
  const std::string& x11_display() const { return x11_display_; }
  // Turns our extension off, as a person can; false when the Shell refuses.
  bool disable_extension();

 private:
  DesktopSession session_;
  std::string x11_display_;
  std::string x11_authority_;
};

}  // namespace tapline::testing
