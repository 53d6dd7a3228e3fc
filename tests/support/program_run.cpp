#include "program_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "child_process.h"

namespace tapline::testing {
namespace {

constexpr int kHangLimitMs = 60000;

std::string read_fd(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  return text;
}

int temp_fd() {
  char name[] = "/tmp/tapline-test-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  return fd;
}

void sleep_briefly() {
  const timespec pause{0, 2'000'000};
  nanosleep(&pause, nullptr);
}

}  // namespace

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& environment) {
  std::vector<std::string> replacements{"LC_ALL=C.UTF-8"};
  replacements.insert(replacements.end(), environment.begin(), environment.end());
  std::vector<std::string> env_text = child_environment(replacements, {"TAPLINE_HOST_MESSAGES"});
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> arg_text{program};
  arg_text.insert(arg_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : arg_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int out_fd = temp_fd();
  const int err_fd = temp_fd();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    execvpe(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  ProgramResult result;
  int status = 0;
  int waited_ms = 0;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && waited_ms < kHangLimitMs) {
    sleep_briefly();
    waited_ms += 2;
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = read_fd(out_fd);
  result.err = read_fd(err_fd);
  close(out_fd);
  close(err_fd);
  return result;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/tapline-test-dir-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string TempDir::write(const std::string& name, std::string_view bytes) const {
  const std::string path = file(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string lua_quoted(const std::string& text) {
  std::string quoted = "'";
  for (unsigned char c : text) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\%u", c);
    quoted += escape;
  }
  return quoted + "'";
}

std::string shell_output(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  pclose(pipe);
  return output;
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  saved_fd_ = dup(1);
  capture_fd_ = temp_fd();
  dup2(capture_fd_, 1);
}

StdoutCapture::~StdoutCapture() {
  std::fflush(stdout);
  dup2(saved_fd_, 1);
  close(saved_fd_);
  close(capture_fd_);
}

std::string StdoutCapture::text() {
  std::fflush(stdout);
  return read_fd(capture_fd_);
}

std::string script_output(const std::string& out) {
  static const std::string start = "开始运行。。。";
  static const std::string end = "运行结束\n";
  const size_t from = out.find(start);
  const size_t to = out.rfind(end);
  if (from == std::string::npos || to == std::string::npos || to < from + start.size()) return {};
  return out.substr(from + start.size(), to - from - start.size());
}

}  // namespace tapline::testing
