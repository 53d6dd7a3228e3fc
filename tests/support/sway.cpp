#include "sway.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "child_process.h"
#include "program_run.h"

namespace tapline::testing {
namespace {

constexpr const char* kTestUser = "tapline-test";
// Only guards against a compositor that never gets ready (30 s at 10 ms).
constexpr int kStartAttempts = 3000;

bool on_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The user the compositor runs as: ourselves, unless we are root.
const passwd* compositor_user() {
  if (geteuid() != 0) return getpwuid(geteuid());
  if (getpwnam(kTestUser) == nullptr)
    std::system((std::string("useradd --system --user-group --no-create-home "
                             "--shell /usr/sbin/nologin ") +
                 kTestUser + " >/dev/null 2>&1")
                    .c_str());
  return getpwnam(kTestUser);
}

// The entry of `folder` whose name starts with `prefix` and has no ".lock" ending.
std::string find_entry(const std::string& folder, const std::string& prefix) {
  std::string found;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind(prefix, 0) == 0 && name.find(".lock") == std::string::npos)
        found = folder + "/" + name;
    }
    closedir(dir);
  }
  return found;
}

}  // namespace

std::string SwayServer::skip_reason() {
#ifndef TAPLINE_WITH_WAYLAND
  return "this build has no Wayland support (TAPLINE_WITH_WAYLAND is off)";
#endif
  if (!on_path("sway")) return "sway is not installed (scripts/install-deps installs it)";
  if (geteuid() == 0 && !on_path("setpriv")) return "setpriv is not installed";
  if (compositor_user() == nullptr) return std::string("no user ") + kTestUser;
  return {};
}

SwayServer::SwayServer(const SwayOptions& options) {
  const passwd* user = compositor_user();
  if (user == nullptr) throw std::runtime_error("no user to run sway as");
  if (chown(runtime_dir().c_str(), user->pw_uid, user->pw_gid) != 0)
    throw std::runtime_error("chown failed");

  std::ofstream config(runtime_dir() + "/config");
  int left = 0;
  for (size_t i = 0; i < options.outputs.size(); ++i) {
    const std::string& size = options.outputs[i];
    config << "output HEADLESS-" << i + 1 << " resolution " << size << " position " << left
           << " 0\n";
    left += std::atoi(size.c_str());
  }
  config << "xwayland " << (options.xwayland ? "enable" : "disable") << "\n";
  for (const std::string& line : options.config) config << line << "\n";
  config.close();
  // Readable by the compositor's user whatever the umask left it.
  if (chown((runtime_dir() + "/config").c_str(), user->pw_uid, user->pw_gid) != 0)
    throw std::runtime_error("chown failed");

  ChildOptions child;
  child.out = ChildOutput::Discard;
  child.err = ChildOutput::File;  // sway logs on standard error
  child.file = runtime_dir() + "/log";
  child.environment = {"XDG_RUNTIME_DIR=" + runtime_dir(),
                       "HOME=" + runtime_dir(),
                       "WLR_BACKENDS=headless",
                       "WLR_RENDERER=pixman",
                       "WLR_LIBINPUT_NO_DEVICES=1",
                       "WLR_HEADLESS_OUTPUTS=" + std::to_string(options.outputs.size())};
  child.unset = {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "XDG_CONFIG_HOME"};
  // The programs it starts inherit its folder, and some (foot) end when they cannot read
  // it: the test's own folder may be closed to the compositor's user.
  child.directory = runtime_dir();
  std::vector<std::string> argv;
  if (geteuid() == 0)
    argv = {"setpriv",
            "--reuid",
            std::to_string(user->pw_uid),
            "--regid",
            std::to_string(user->pw_gid),
            "--init-groups"};
  argv.insert(argv.end(), {"sway", "-c", runtime_dir() + "/config"});
  process_ = std::make_unique<ChildProcess>(argv, child);

  // Ready once both sockets are there and the compositor answers on its IPC socket.
  const bool ready = eventually(
      [&] {
        if (process_->exit_status_if_ended()) return true;
        wayland_display_ = find_entry(runtime_dir(), "wayland-");
        ipc_socket_ = find_entry(runtime_dir(), "sway-ipc.");
        return !wayland_display_.empty() && !ipc_socket_.empty() &&
               std::system(("SWAYSOCK=" + ipc_socket_ + " swaymsg -t get_version >/dev/null 2>&1")
                               .c_str()) == 0;
      },
      kStartAttempts);
  if (!ready || process_->exit_status_if_ended()) {
    std::ifstream log(runtime_dir() + "/log");
    const std::string text((std::istreambuf_iterator<char>(log)), {});
    throw std::runtime_error("sway did not start: " + text);
  }
}

SwayServer::~SwayServer() {
  if (process_) process_->end(SIGTERM);
  process_.reset();
}

pid_t SwayServer::pid() const { return process_ ? process_->pid() : -1; }

std::vector<std::string> SwayServer::client_environment() const {
  return {"WAYLAND_DISPLAY=" + wayland_display_, "XDG_RUNTIME_DIR=" + runtime_dir(),
          "SWAYSOCK=" + ipc_socket_};
}

std::string SwayServer::x_display() const {
  const std::string file = runtime_dir() + "/x-display";
  swaymsg({"exec", "xhost +si:localuser:" + std::string(getpwuid(geteuid())->pw_name) +
                       " >/dev/null && echo $DISPLAY >" + file});
  std::string display;
  eventually([&] { return bool(std::ifstream(file) >> display); }, kStartAttempts);
  return display;
}

std::string SwayServer::swaymsg(const std::vector<std::string>& args) const {
  std::vector<std::string> all = {"-s", ipc_socket_};
  all.insert(all.end(), args.begin(), args.end());
  const ProgramResult result = run_program("swaymsg", all);
  std::string shown;
  for (const std::string& arg : args) shown += " " + arg;
  EXPECT_EQ(result.status, 0) << "swaymsg" << shown << ": " << result.out << result.err;
  return result.out;
}

}  // namespace tapline::testing
