// A private desktop session for tests: a session bus, PipeWire and WirePlumber of its own in
// a runtime folder of its own, and the further programs a test starts into it (portals,
// their backends). Nothing on the bus starts on its own: every program is started by the
// test, and ended by its pid, the last started first, when the object goes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "program_run.h"

namespace tapline::testing {

class ChildProcess;

class DesktopSession {
 public:
  // `environment`: "NAME=value" entries every program of the session gets besides the
  // session's own (the compositor's WAYLAND_DISPLAY, XDG_CURRENT_DESKTOP). Throws
  // std::runtime_error, with the log of what failed, when the session does not start.
  explicit DesktopSession(const std::vector<std::string>& environment = {});
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // Why no session can run here ("pipewire is not installed"), or empty.
  static std::string skip_reason();

  const std::string& runtime_dir() const { return runtime_folder_.directory(); }
  // DBUS_SESSION_BUS_ADDRESS of the session.
  const std::string& bus_address() const { return bus_address_; }

  // Starts `argv` with the session's environment and `environment` besides, its standard
  // error in <runtime_dir>/<name>.log; with a `bus_name`, waits until that name is owned.
  // Throws std::runtime_error with the log when the program ends or the name never comes.
  void start(const std::string& name, const std::vector<std::string>& argv,
             const char* bus_name = nullptr, const std::vector<std::string>& environment = {});

 private:
  TempDir runtime_folder_;  // removed after the programs have ended, even when one failed to start
  std::string bus_address_;
  std::vector<std::string> environment_;
  std::vector<std::unique_ptr<ChildProcess>> processes_;  // in the order started
};

}  // namespace tapline::testing
