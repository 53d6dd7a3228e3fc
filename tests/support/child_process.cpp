#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

extern char** environ;

namespace tapline::testing {
namespace {

// Only guards against a hung child; every wait ends as soon as what it waits for happens.
constexpr int kHangGuardMs = 30000;

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// Sets up `stream` of the child as `output` says; the write end of `pipe_ends` when piped.
void direct(posix_spawn_file_actions_t& actions, int stream, ChildOutput output,
            const int pipe_ends[2], const std::string& file) {
  if (output == ChildOutput::Pipe)
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], stream);
  else if (output == ChildOutput::Discard)
    posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", O_WRONLY, 0);
  else if (output == ChildOutput::File)
    posix_spawn_file_actions_addopen(&actions, stream, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int status_of(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

}  // namespace

std::vector<std::string> child_environment(const std::vector<std::string>& replacements,
                                           const std::vector<std::string>& unset) {
  std::vector<std::string> environment = replacements;
  std::vector<std::string> left_out = unset;
  for (const std::string& entry : replacements) left_out.push_back(name_of(entry));
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::find(left_out.begin(), left_out.end(), name_of(*entry)) == left_out.end())
      environment.emplace_back(*entry);
  return environment;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options)
    : own_group_(options.own_process_group) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if ((options.out == ChildOutput::Pipe && pipe2(out, O_CLOEXEC) != 0) ||
      (options.err == ChildOutput::Pipe && pipe2(err, O_CLOEXEC) != 0))
    throw std::runtime_error("pipe failed");

  std::vector<std::string> arg_text = argv;
  std::vector<char*> args;
  for (std::string& arg : arg_text) args.push_back(arg.data());
  args.push_back(nullptr);
  std::vector<std::string> env_text = child_environment(options.environment, options.unset);
  std::vector<char*> env;
  for (std::string& entry : env_text) env.push_back(entry.data());
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  direct(actions, STDOUT_FILENO, options.out, out, options.file);
  direct(actions, STDERR_FILENO, options.err, err, options.file);
  if (!options.directory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_group_) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);  // a group led by the child
  }
  const int error = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), env.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close_fd(out[1]);
  close_fd(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (error != 0) {
    pid_ = -1;
    close_fd(out_);
    close_fd(err_);
    throw std::runtime_error("cannot start " + argv[0]);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(own_group_ ? -pid_ : pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close_fd(out_);
  close_fd(err_);
}

std::string ChildProcess::out_line() {
  bool ok = false;
  std::string line = out_line(ok);
  EXPECT_TRUE(ok) << "no further line from the child on standard output";
  return line;
}

void ChildProcess::signal(int number) {
  if (pid_ > 0) kill(own_group_ ? -pid_ : pid_, number);
}

int ChildProcess::wait_exit_status() {
  for (int waited_ms = 0; waited_ms < kHangGuardMs; waited_ms += 5) {
    if (const std::optional<int> status = exit_status_if_ended()) return *status;
    const timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
  }
  if (pid_ <= 0) return -1;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::optional<int> ChildProcess::exit_status_if_ended() {
  if (pid_ <= 0) return -1;
  int status = 0;
  const pid_t waited = waitpid(pid_, &status, WNOHANG);
  if (waited == 0) return std::nullopt;
  pid_ = -1;
  return waited < 0 ? -1 : status_of(status);
}

std::string ChildProcess::read_line(int fd, std::string& buffer, bool& ok) {
  ok = false;
  for (;;) {
    const size_t end = buffer.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      ok = true;
      return line;
    }
    pollfd readable{fd, POLLIN, 0};
    if (fd < 0 || poll(&readable, 1, kHangGuardMs) <= 0) return {};
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return {};
    buffer.append(chunk, static_cast<size_t>(got));
  }
}

std::string ChildProcess::read_rest(int fd, std::string& buffer) {
  std::string text = std::move(buffer);
  buffer.clear();
  pollfd readable{fd, POLLIN, 0};
  char chunk[4096];
  for (ssize_t got; fd >= 0 && poll(&readable, 1, kHangGuardMs) > 0 &&
                    (got = read(fd, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<size_t>(got));
  return text;
}

namespace {

ChildOptions with_err_piped(ChildOptions options) {
  options.err = ChildOutput::Pipe;
  return options;
}

std::vector<std::string> listening_argv(const std::string& binary,
                                        const std::vector<std::string>& options) {
  std::vector<std::string> argv{binary, "--listen", "127.0.0.1:0"};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

}  // namespace

ListeningDevice::ListeningDevice(const std::string& binary, const std::vector<std::string>& options,
                                 ChildOptions child)
    : ChildProcess(listening_argv(binary, options), with_err_piped(std::move(child))) {
  bool ok = false;
  const std::string line = err_line(ok);
  const std::string prefix = "listening on 127.0.0.1:";
  if (!ok || line.rfind(prefix, 0) != 0) {
    ADD_FAILURE() << "the device's first line on standard error: \"" << line << "\"";
    return;
  }
  port_ = std::stoi(line.substr(prefix.size()));
}

std::string json_field(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  size_t at = line.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  if (line[at] == '"') ++at;
  return line.substr(at, line.find_first_of("\",}", at) - at);
}

}  // namespace tapline::testing
