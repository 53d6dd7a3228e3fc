// A private headless sway (wlroots) compositor for tests that need a Wayland desktop. sway
// refuses to run as root, so a root test program starts it as the unprivileged user
// "tapline-test" (made when missing) through setpriv, which keeps the compositor's own
// pid; any other user runs it as itself. Each server has a runtime folder of its own, so
// parallel test programs never share a compositor. Ended by its pid when the object goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "program_run.h"

namespace tapline::testing {

class ChildProcess;

struct SwayOptions {
  // One entry per headless output, "WIDTHxHEIGHT", laid out left to right from (0, 0).
  std::vector<std::string> outputs = {"1280x720"};
  // Lines added to the compositor's configuration.
  std::vector<std::string> config;
  // Xwayland for X11 clients (started by sway when the first X client connects).
  bool xwayland = false;
};

class SwayServer {
 public:
  // Throws std::runtime_error when the compositor does not start; `skip_reason` (below)
  // says when it cannot start on this machine at all.
  explicit SwayServer(const SwayOptions& options = {});
  ~SwayServer();
  SwayServer(const SwayServer&) = delete;
  SwayServer& operator=(const SwayServer&) = delete;

  // Why no test can run a compositor here ("sway is not installed"), or empty.
  static std::string skip_reason();

  pid_t pid() const;
  // The compositor's runtime folder (XDG_RUNTIME_DIR of its clients).
  const std::string& runtime_dir() const { return runtime_folder_.directory(); }
  // The absolute path of the Wayland socket, usable as WAYLAND_DISPLAY.
  const std::string& wayland_display() const { return wayland_display_; }
  // The IPC socket (SWAYSOCK).
  const std::string& ipc_socket() const { return ipc_socket_; }
  // "WAYLAND_DISPLAY=…", "XDG_RUNTIME_DIR=…", "SWAYSOCK=…" for a client's environment.
  std::vector<std::string> client_environment() const;
  // Xwayland's display name ("DISPLAY" of X11 clients), once Xwayland admits this test's
  // user too (it admits its own user only); empty when no Xwayland starts. Needs
  // `SwayOptions::xwayland`.
  std::string x_display() const;
  // Runs swaymsg with `args` on this compositor ({"exec swaybg -c '#ff0000'"},
  // {"-t", "get_tree"}): its standard output, after a failed test naming the arguments
  // when it fails.
  std::string swaymsg(const std::vector<std::string>& args) const;

 private:
  TempDir runtime_folder_;  // removed after the compositor has ended, even when it never started
  std::unique_ptr<ChildProcess> process_;
  std::string wayland_display_;
  std::string ipc_socket_;
};

}  // namespace tapline::testing
