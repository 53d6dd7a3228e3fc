#include "kwin.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "program_run.h"

namespace tapline::testing {
namespace {

constexpr const char* kSocket = "wayland-kde";
// Only guards against a desktop that never gets ready (30 s at 10 ms).
constexpr int kStartAttempts = 3000;

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The display of the Xwayland that KWin started for the session in `runtime_dir`, found
// by its environment; empty while there is none.
std::string xwayland_display(const std::string& runtime_dir) {
  std::string found;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return found;
  while (const dirent* entry = readdir(processes)) {
    const std::string dir = std::string("/proc/") + entry->d_name;
    if (read_file(dir + "/comm") != "Xwayland\n") continue;
    const std::string environment = read_file(dir + "/environ");
    if (environment.find("XDG_RUNTIME_DIR=" + runtime_dir + '\0') == std::string::npos) continue;
    const std::string command = read_file(dir + "/cmdline");
    for (size_t at = 0; at < command.size(); at = command.find('\0', at) + 1)
      if (command[at] == ':') found = command.c_str() + at;
    if (!found.empty()) break;
  }
  closedir(processes);
  return found;
}

}  // namespace

std::string KWinServer::skip_reason() {
  if (std::system("command -v kwin_wayland >/dev/null 2>&1") != 0)
    return "kwin_wayland is not installed (scripts/install-deps installs kwin-wayland)";
  if (std::system("command -v Xwayland >/dev/null 2>&1") != 0)
    return "Xwayland is not installed (scripts/install-deps installs xwayland)";
  return DesktopSession::skip_reason();
}

KWinServer::KWinServer(const KWinOptions& options) : session_({"XDG_CURRENT_DESKTOP=KDE"}) {
  // A copy has no file capability; KWin wants its name to end in kwin_wayland.
  const std::string program = runtime_dir() + "/kwin_wayland";
  if (std::system(("cp \"$(command -v kwin_wayland)\" " + program).c_str()) != 0)
    throw std::runtime_error("cannot copy kwin_wayland");
  std::string data_dirs;
  for (const std::string& dir : options.data_dirs) data_dirs += dir + ":";
  session_.start("kwin",
                 {program, "--virtual", "--width", std::to_string(options.width), "--height",
                  std::to_string(options.height), "--output-count", std::to_string(options.outputs),
                  "--scale", std::to_string(options.scale), "--socket", kSocket, "--xwayland",
                  "--no-lockscreen", "--no-global-shortcuts", "--no-kactivities"},
                 "org.kde.KWin", {"XDG_DATA_DIRS=" + data_dirs + "/usr/local/share:/usr/share"});
  if (!eventually([&] { return !(x_display_ = xwayland_display(runtime_dir())).empty(); },
                  kStartAttempts))
    throw std::runtime_error("KWin started no Xwayland: " + log());
}

KWinServer::~KWinServer() = default;

std::vector<std::string> KWinServer::client_environment() const {
  return {"WAYLAND_DISPLAY=" + runtime_dir() + "/" + kSocket, "XDG_RUNTIME_DIR=" + runtime_dir(),
          "DBUS_SESSION_BUS_ADDRESS=" + session_.bus_address(), "XDG_CURRENT_DESKTOP=KDE",
          "DISPLAY=" + x_display_};
}

std::string KWinServer::log() const { return read_file(runtime_dir() + "/kwin.log"); }

}  // namespace tapline::testing
