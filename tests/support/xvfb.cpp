#include "xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace tapline::testing {
namespace {

// Only guards against a server that never says it is ready.
constexpr int kStartGuardMs = 30000;

}  // namespace

XvfbServer::XvfbServer(const std::string& screen, const std::vector<std::string>& extra) {
  int ready[2];
  // The write end is the server's to keep; the read end stays with the test.
  if (pipe(ready) != 0) throw std::runtime_error("pipe failed");
  fcntl(ready[0], F_SETFD, FD_CLOEXEC);
  std::vector<std::string> args = {"Xvfb",     "-displayfd", std::to_string(ready[1]),
                                   "-noreset", "-nolisten",  "tcp",
                                   "-screen",  "0",          screen};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ready[1]);
  if (spawned != 0) pid_ = -1;
  std::string number;
  char c = 0;
  pollfd readable{ready[0], POLLIN, 0};
  while (pid_ > 0 && poll(&readable, 1, kStartGuardMs) == 1 && read(ready[0], &c, 1) == 1 &&
         c != '\n')
    number += c;
  close(ready[0]);
  if (number.empty()) {
    stop();
    throw std::runtime_error("Xvfb did not start (is it installed?)");
  }
  name_ = ":" + number;
}

XvfbServer::~XvfbServer() { stop(); }

void XvfbServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace tapline::testing
