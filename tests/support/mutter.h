// A private headless GNOME compositor (mutter) for tests that need a GNOME desktop: mutter
// with virtual monitors in a private desktop session (a session bus, PipeWire and
// WirePlumber of its own in a runtime folder of its own), so parallel test programs never
// share a desktop. Each program is ended by its pid when the object goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "desktop_session.h"

namespace tapline::testing {

struct MutterOptions {
  // One virtual monitor per entry, "WIDTHxHEIGHT". None: no mutter, only the session bus,
  // PipeWire and WirePlumber.
  std::vector<std::string> monitors = {"1280x720"};
};

class MutterServer {
 public:
  // Throws std::runtime_error when the desktop does not start; `skip_reason` (below) says
  // when it cannot start on this machine at all.
  explicit MutterServer(const MutterOptions& options = {});
  ~MutterServer();
  MutterServer(const MutterServer&) = delete;
  MutterServer& operator=(const MutterServer&) = delete;

  // Why no test can run this desktop here ("mutter is not installed"), or empty.
  static std::string skip_reason();

  const std::string& runtime_dir() const { return session_.runtime_dir(); }
  // "WAYLAND_DISPLAY=…", "XDG_RUNTIME_DIR=…", "DBUS_SESSION_BUS_ADDRESS=…" and
  // "XDG_CURRENT_DESKTOP=GNOME" for a client's environment; DISPLAY is left to the caller.
  std::vector<std::string> client_environment() const;
  // Moves the pointer by (dx, dy) through mutter's remote desktop service, as a mouse
  // would; it stops at the monitors' edges. False when mutter refuses.
  bool move_pointer(double dx, double dy);

 private:
  struct Pointer;

  DesktopSession session_;
  std::unique_ptr<Pointer> pointer_;  // ends before the session
};

}  // namespace tapline::testing
