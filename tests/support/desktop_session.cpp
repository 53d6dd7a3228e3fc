#include "desktop_session.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "child_process.h"
#include "platform/dbus/dbus.h"
#include "program_run.h"

namespace tapline::testing {
namespace {

// Only guards against a program that never gets ready (30 s at 10 ms).
constexpr int kStartAttempts = 3000;

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// A session bus on a socket of the session's own that activates nothing.
std::string bus_config(const std::string& socket) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:path=" +
         socket +
         "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "    <allow own=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// `base` with the entries of `more` in place of those of the same names.
std::vector<std::string> merged(std::vector<std::string> base,
                                const std::vector<std::string>& more) {
  for (const std::string& entry : more) {
    std::erase_if(base, [&](const std::string& old) { return name_of(old) == name_of(entry); });
    base.push_back(entry);
  }
  return base;
}

}  // namespace

std::string DesktopSession::skip_reason() {
  for (const char* program : {"dbus-daemon", "pipewire", "wireplumber"})
    if (!on_path(program))
      return std::string(program) + " is not installed (scripts/install-deps installs it)";
  return {};
}

DesktopSession::DesktopSession(const std::vector<std::string>& environment) {
  const std::string socket = runtime_dir() + "/bus";
  bus_address_ = "unix:path=" + socket;
  std::ofstream(runtime_dir() + "/bus.conf") << bus_config(socket);
  // Everything a program keeps (settings, state, caches) stays in the session's folder.
  environment_ = merged(
      {"XDG_RUNTIME_DIR=" + runtime_dir(), "HOME=" + runtime_dir(),
       "XDG_CONFIG_HOME=" + runtime_dir() + "/config", "XDG_DATA_HOME=" + runtime_dir() + "/data",
       "XDG_STATE_HOME=" + runtime_dir() + "/state", "DBUS_SESSION_BUS_ADDRESS=" + bus_address_},
      environment);

  start("dbus",
        {"dbus-daemon", "--config-file=" + runtime_dir() + "/bus.conf", "--nofork", "--nopidfile"});
  if (!eventually([&] { return exists(socket); }, kStartAttempts))
    throw std::runtime_error("the session bus did not start");
  start("pipewire", {"pipewire"});
  if (!eventually([&] { return exists(runtime_dir() + "/pipewire-0"); }, kStartAttempts))
    throw std::runtime_error("PipeWire did not start");
  start("wireplumber", {"wireplumber"});
}

DesktopSession::~DesktopSession() {
  while (!processes_.empty()) {
    processes_.back()->end(SIGTERM);
    processes_.pop_back();
  }
}

void DesktopSession::start(const std::string& name, const std::vector<std::string>& argv,
                           const char* bus_name, const std::vector<std::string>& environment) {
  ChildOptions child;
  child.out = ChildOutput::Discard;
  child.err = ChildOutput::File;
  child.file = runtime_dir() + "/" + name + ".log";
  child.environment = merged(environment_, environment);
  child.unset = {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "PIPEWIRE_REMOTE",
                 "PIPEWIRE_RUNTIME_DIR"};
  processes_.push_back(std::make_unique<ChildProcess>(argv, child));
  ChildProcess& process = *processes_.back();

  auto failed = [&](const std::string& what) {
    std::ifstream log(child.file);
    return std::runtime_error(what + ": " + std::string(std::istreambuf_iterator<char>(log), {}));
  };
  if (bus_name == nullptr) {
    if (process.exit_status_if_ended()) throw failed(name + " ended at once");
    return;
  }
  sd_bus* opened = nullptr;
  if (sd_bus_new(&opened) < 0) throw std::runtime_error("sd_bus_new failed");
  const platform::dbus::Bus bus(opened);
  if (sd_bus_set_address(opened, bus_address_.c_str()) < 0 ||
      sd_bus_set_bus_client(opened, 1) < 0 || sd_bus_start(opened) < 0)
    throw std::runtime_error("cannot reach the session bus");
  const bool ready = eventually(
      [&] {
        return process.exit_status_if_ended() || platform::dbus::name_has_owner(opened, bus_name);
      },
      kStartAttempts);
  if (!ready || process.exit_status_if_ended())
    throw failed(name + " did not take " + bus_name + " on the session bus");
}

}  // namespace tapline::testing
