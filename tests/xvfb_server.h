// A private Xvfb server for tests that need an X11 screen: started on a display number it
// picks itself (-displayfd tells which once it accepts clients), killed by its pid.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace screen_test {

class XvfbServer {
 public:
  // `screen` like "320x200x24"; `extra` further options.
  explicit XvfbServer(const std::string& screen, std::vector<std::string> extra = {}) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {"Xvfb",     "-displayfd", std::to_string(ready[1]),
                                     "-noreset", "-nolisten",  "tcp",
                                     "-screen",  "0",          screen};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, ready[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    std::string number;
    char c = 0;
    while (spawned == 0 && read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    close(ready[0]);
    if (spawned != 0 || number.empty()) {
      stop();
      throw std::runtime_error("Xvfb did not start (is it installed?)");
    }
    name_ = ":" + number;
  }
  ~XvfbServer() { stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  const std::string& display_name() const { return name_; }
  pid_t pid() const { return pid_; }

 private:
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace screen_test
