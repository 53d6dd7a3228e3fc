#include "mutter.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "child_process.h"
#include "platform/wayland/dbus.h"
#include "program_run.h"

namespace tapline::testing {
namespace {

using platform::wayland::Bus;
using platform::wayland::Message;

// Only guards against a desktop that never gets ready (30 s at 10 ms).
constexpr int kStartAttempts = 3000;

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

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
  Message request = platform::wayland::new_method_call(bus, name, path.c_str(), interface, member);
  std::string why_not;
  if (!request || append(request.get()) < 0) return nullptr;
  return platform::wayland::call(bus, request.get(), why_not);
}

int no_arguments(sd_bus_message*) { return 0; }

}  // namespace

// A remote desktop session of mutter's, held open for the pointer moves.
struct MutterServer::Pointer {
  Bus bus;
  std::string session;
};

std::string MutterServer::skip_reason() {
  for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-daemon"})
    if (!on_path(program))
      return std::string(program) + " is not installed (scripts/install-deps installs it)";
  return {};
}

void MutterServer::start(const std::string& name, const std::vector<std::string>& argv) {
  ChildOptions child;
  child.out = ChildOutput::Discard;
  child.err = ChildOutput::File;
  child.file = runtime_dir_ + "/" + name + ".log";
  child.environment = {"XDG_RUNTIME_DIR=" + runtime_dir_, "HOME=" + runtime_dir_,
                       "DBUS_SESSION_BUS_ADDRESS=" + bus_address_,
                       // Settings in memory: nothing of the test's user is read or written.
                       "GSETTINGS_BACKEND=memory", "XDG_CURRENT_DESKTOP=GNOME"};
  child.unset = {"DISPLAY",        "WAYLAND_DISPLAY", "XDG_CONFIG_HOME",
                 "XDG_STATE_HOME", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR"};
  processes_.push_back(std::make_unique<ChildProcess>(argv, child));
}

MutterServer::MutterServer(const MutterOptions& options) {
  char folder[] = "/tmp/tapline-mutter.XXXXXX";
  if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp failed");
  runtime_dir_ = folder;
  bus_address_ = "unix:path=" + runtime_dir_ + "/bus";

  auto failed = [&](const std::string& what, const std::string& log) {
    std::ifstream file(runtime_dir_ + "/" + log + ".log");
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    return std::runtime_error(what + ": " + text);
  };
  auto ready = [&](auto condition) {
    return eventually(
        [&] {
          for (auto& process : processes_)
            if (process->exit_status_if_ended()) return true;
          return condition();
        },
        kStartAttempts);
  };
  auto all_running = [&] {
    for (auto& process : processes_)
      if (process->exit_status_if_ended()) return false;
    return true;
  };

  start("dbus",
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus_address_});
  if (!ready([&] { return exists(runtime_dir_ + "/bus"); }) || !all_running())
    throw failed("the session bus did not start", "dbus");
  start("pipewire", {"pipewire"});
  if (!ready([&] { return exists(runtime_dir_ + "/pipewire-0"); }) || !all_running())
    throw failed("PipeWire did not start", "pipewire");
  start("wireplumber", {"wireplumber"});
  if (options.monitors.empty()) return;
  std::vector<std::string> argv = {"mutter", "--headless", "--wayland", "--no-x11"};
  for (const std::string& monitor : options.monitors)
    argv.insert(argv.end(), {"--virtual-monitor", monitor});
  start("mutter", argv);

  // Ready once the Wayland socket is there and the screen cast service is on the bus.
  Bus bus = connect_bus(bus_address_);
  if (!bus) throw std::runtime_error("cannot reach the private session bus");
  if (!ready([&] {
        return exists(runtime_dir_ + "/wayland-0") &&
               platform::wayland::name_has_owner(bus.get(), "org.gnome.Mutter.ScreenCast");
      }) ||
      !all_running())
    throw failed("mutter did not start", "mutter");
}

MutterServer::~MutterServer() {
  pointer_.reset();
  while (!processes_.empty()) {
    processes_.back()->end(SIGTERM);
    processes_.pop_back();
  }
  std::system(("rm -rf '" + runtime_dir_ + "'").c_str());
}

std::vector<std::string> MutterServer::client_environment() const {
  return {"WAYLAND_DISPLAY=" + runtime_dir_ + "/wayland-0", "XDG_RUNTIME_DIR=" + runtime_dir_,
          "DBUS_SESSION_BUS_ADDRESS=" + bus_address_, "XDG_CURRENT_DESKTOP=GNOME"};
}

bool MutterServer::move_pointer(double dx, double dy) {
  constexpr const char* kName = "org.gnome.Mutter.RemoteDesktop";
  if (!pointer_) {
    Bus bus = connect_bus(bus_address_);
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
