#include "gnome_shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/dbus/dbus.h"
#include "platform/gnome/shell_extension.h"
#include "program_run.h"

namespace tapline::testing {
namespace {

// Only guards against a Shell that never gets ready (30 s at 10 ms).
constexpr int kStartAttempts = 3000;

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The NUL-separated fields of a /proc file.
std::vector<std::string> proc_fields(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<std::string> fields;
  for (std::string field; std::getline(file, field, '\0');) fields.push_back(field);
  return fields;
}

// The display (":N") and authority file of the Xwayland a compositor with `runtime_dir`
// started: mutter picks both itself and tells them only to its own children, so the
// process is found by its environment; empty while there is none.
std::pair<std::string, std::string> xwayland_of(const std::string& runtime_dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
    const std::string proc = process.path().string();
    const std::vector<std::string> argv = proc_fields(proc + "/cmdline");
    if (argv.size() < 2 || fs::path(argv[0]).filename() != "Xwayland" || argv[1][0] != ':')
      continue;
    std::string authority;
    for (size_t i = 2; i + 1 < argv.size(); ++i)
      if (argv[i] == "-auth") authority = argv[i + 1];
    for (const std::string& entry : proc_fields(proc + "/environ"))
      if (entry == "XDG_RUNTIME_DIR=" + runtime_dir) return {argv[1], authority};
  }
  return {};
}

}  // namespace

std::string GnomeShellServer::skip_reason() {
  if (!on_path("gnome-shell"))
    return "gnome-shell is not installed (scripts/install-deps installs it)";
  if (geteuid() != 0) return "the Shell needs a mount namespace of its own, which needs root";
  return DesktopSession::skip_reason();
}

// Settings in a key file written before the start: the Shell reads our extension's
// enabling from it, and nothing of the test's user is read or written.
GnomeShellServer::GnomeShellServer(bool xwayland)
    : session_({"GSETTINGS_BACKEND=keyfile", "XDG_CURRENT_DESKTOP=GNOME"}) {
  namespace fs = std::filesystem;
  const std::string extension =
      runtime_dir() + "/data/gnome-shell/extensions/" + platform::gnome::kExtensionUuid;
  fs::create_directories(extension);
  for (const char* file : {"extension.js", "metadata.json"})
    fs::copy_file(std::string(TAPLINE_SOURCE_DIR) + "/extras/gnome-shell/43/" + file,
                  extension + "/" + file);
  fs::create_directories(runtime_dir() + "/config/glib-2.0/settings");
  std::ofstream(runtime_dir() + "/config/glib-2.0/settings/keyfile")
      << "[org/gnome/shell]\nenabled-extensions=['" << platform::gnome::kExtensionUuid << "']\n";
  // Without a system bus the Shell ends at once; any bus will do.
  session_.start("system-bus", {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                "--address=unix:path=" + runtime_dir() + "/system_bus"});
  session_.start("gnome-shell",
                 {"unshare", "--mount", "sh", "-c",
                  std::string("mount -t tmpfs none /run/systemd 2>/dev/null; exec gnome-shell "
                              "--headless --wayland ") +
                      (xwayland ? "" : "--no-x11 ") +
                      "--wayland-display=wayland-0 --virtual-monitor 1280x720"},
                 "org.gnome.Shell",
                 {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + runtime_dir() + "/system_bus"});
  if (!eventually([&] { return access((runtime_dir() + "/wayland-0").c_str(), F_OK) == 0; },
                  kStartAttempts))
    throw std::runtime_error("GNOME Shell made no Wayland socket");
  if (xwayland && !eventually(
                      [&] {
                        std::tie(x11_display_, x11_authority_) = xwayland_of(runtime_dir());
                        return !x11_display_.empty() &&
                               access(("/tmp/.X11-unix/X" + x11_display_.substr(1)).c_str(),
                                      F_OK) == 0;
                      },
                      kStartAttempts))
    throw std::runtime_error("GNOME Shell started no Xwayland");
}

GnomeShellServer::~GnomeShellServer() = default;

std::vector<std::string> GnomeShellServer::client_environment() const {
  return {"WAYLAND_DISPLAY=wayland-0", "XDG_RUNTIME_DIR=" + runtime_dir(),
          "DBUS_SESSION_BUS_ADDRESS=" + session_.bus_address(), "XDG_CURRENT_DESKTOP=GNOME",
          "DISPLAY="};
}

bool GnomeShellServer::disable_extension() {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return false;
  const platform::dbus::Bus owned(bus);
  if (sd_bus_set_address(bus, session_.bus_address().c_str()) < 0 ||
      sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0)
    return false;
  sd_bus_message* reply = nullptr;
  int done = 0;
  if (sd_bus_call_method(bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions",
                         "DisableExtension", nullptr, &reply, "s",
                         platform::gnome::kExtensionUuid) >= 0)
    sd_bus_message_read(reply, "b", &done);
  sd_bus_message_unref(reply);
  return done != 0;
}

}  // namespace tapline::testing
