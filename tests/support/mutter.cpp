#include "mutter.h"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/dbus/dbus.h"
#include "program_run.h"

namespace tapline::testing {
namespace {

using platform::dbus::Bus;
using platform::dbus::Message;

// Only guards against a desktop that never gets ready (30 s at 10 ms).
constexpr int kStartAttempts = 3000;

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

Bus connect_bus(const std::string& address) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return nullptr;
  Bus owned(bus);
  if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0)
    return nullptr;
  return owned;
}

// Calls `member` (no arguments but those `append` adds) on mutter: its reply or nullptr.
template <typename Append>
Message call(sd_bus* bus, const char* name, const std::string& path, const char* interface,
             const char* member, Append append) {
  Message request = platform::dbus::new_method_call(bus, name, path.c_str(), interface, member);
  std::string why_not;
  if (!request || append(request.get()) < 0) return nullptr;
  return platform::dbus::call(bus, request.get(), why_not);
}

int no_arguments(sd_bus_message*) { return 0; }

}  // namespace

// A remote desktop session of mutter's, held open for the pointer moves.
struct MutterServer::Pointer {
  Bus bus;
  std::string session;
};

std::string MutterServer::skip_reason() {
  if (std::system("command -v mutter >/dev/null 2>&1") != 0)
    return "mutter is not installed (scripts/install-deps installs it)";
  return DesktopSession::skip_reason();
}

// Settings in memory: nothing of the test's user is read or written.
MutterServer::MutterServer(const MutterOptions& options)
    : session_({"GSETTINGS_BACKEND=memory", "XDG_CURRENT_DESKTOP=GNOME"}) {
  if (options.monitors.empty()) return;
  std::vector<std::string> argv = {"mutter", "--headless", "--wayland", "--no-x11"};
  for (const std::string& monitor : options.monitors)
    argv.insert(argv.end(), {"--virtual-monitor", monitor});
  // Ready once the screen cast service is on the bus and the Wayland socket is there.
  session_.start("mutter", argv, "org.gnome.Mutter.ScreenCast");
  if (!eventually([&] { return exists(runtime_dir() + "/wayland-0"); }, kStartAttempts))
    throw std::runtime_error("mutter made no Wayland socket");
}

MutterServer::~MutterServer() = default;

std::vector<std::string> MutterServer::client_environment() const {
  return {"WAYLAND_DISPLAY=" + runtime_dir() + "/wayland-0", "XDG_RUNTIME_DIR=" + runtime_dir(),
          "DBUS_SESSION_BUS_ADDRESS=" + session_.bus_address(), "XDG_CURRENT_DESKTOP=GNOME"};
}

bool MutterServer::move_pointer(double dx, double dy) {
  constexpr const char* kName = "org.gnome.Mutter.RemoteDesktop";
  if (!pointer_) {
    Bus bus = connect_bus(session_.bus_address());
    if (!bus) return false;
    Message created = call(bus.get(), kName, "/org/gnome/Mutter/RemoteDesktop", kName,
                           "CreateSession", no_arguments);
    const char* session = nullptr;
    if (!created || sd_bus_message_read(created.get(), "o", &session) < 0) return false;
    const std::string path = session;
    if (!call(bus.get(), kName, path, "org.gnome.Mutter.RemoteDesktop.Session", "Start",
              no_arguments))
      return false;
    pointer_ = std::make_unique<Pointer>(Pointer{std::move(bus), path});
  }
  return call(pointer_->bus.get(), kName, pointer_->session,
              "org.gnome.Mutter.RemoteDesktop.Session", "NotifyPointerMotionRelative",
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "dd", dx, dy); }) != nullptr;
}

}  // namespace tapline::testing
