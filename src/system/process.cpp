#include "system/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>

#include "system/console.h"
#include "system/stop_request.h"

extern char** environ;

namespace tapline::system {
namespace {

// After the child has exited, output still arriving from something it left behind (a
// background writer) is read until the pipe has been idle this long.
constexpr int kIdleAfterExitMs = 2000;
// Without a process descriptor the child's exit is checked this often.
constexpr int kExitPollMs = 50;
// On a stop, how long the started program's process group has to end after SIGTERM
// before it gets SIGKILL.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Owns a descriptor and closes it once.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Spawn attributes that give the child default signal handling and an empty signal mask,
// whatever the script host has set for itself.
class SpawnAttributes {
 public:
  explicit SpawnAttributes(short extra_flags = 0) {
    posix_spawnattr_init(&attributes_);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setflags(&attributes_,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | extra_flags);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

std::vector<char*> argv_pointers(const std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (const std::string& word : words) pointers.push_back(const_cast<char*>(word.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

bool reap_now(pid_t pid) {
  pid_t result;
  do {
    result = waitpid(pid, nullptr, WNOHANG);
  } while (result < 0 && errno == EINTR);
  return result != 0;  // reaped, or not ours to reap any more
}

// Reaps a child that has just closed its output (normally by exiting); one that keeps
// running without it is left to the background.
void reap_after_output(pid_t pid, int process_fd) {
  if (process_fd >= 0) {
    pollfd exited{process_fd, POLLIN, 0};
    if (poll(&exited, 1, 1000) == 1 && reap_now(pid)) return;
  } else {
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (reap_now(pid)) return;
      poll(nullptr, 0, 5);
    }
  }
  if (!reap_now(pid)) reap_when_ended(pid);
}

// A stop request while RunApp waits: the started program and everything it started (its
// process group) are ended, politely first, before the stop action ends this process.
void end_process_group(pid_t pid, int process_fd) {
  kill(-pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (reap_now(pid) && kill(-pid, 0) != 0) return;  // the whole group is gone
    if (process_fd >= 0) {
      pollfd exited{process_fd, POLLIN, 0};
      poll(&exited, 1, 10);
    } else {
      poll(nullptr, 0, 10);
    }
  }
  kill(-pid, SIGKILL);
  reap_after_output(pid, process_fd);
}

void read_output(int pipe_fd, pid_t pid, int process_fd, std::string& output) {
  bool exited = false;
  char buffer[4096];
  const int stop_fd = stop_wake_fd();
  for (;;) {
    if (stop_requested()) {
      if (!exited) end_process_group(pid, process_fd);
      check_stop();  // the console program ends here
      break;
    }
    pollfd fds[3] = {{pipe_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}, {process_fd, POLLIN, 0}};
    const nfds_t count = (!exited && process_fd >= 0) ? 3 : 2;
    const int timeout = exited ? kIdleAfterExitMs : (process_fd >= 0 ? -1 : kExitPollMs);
    const int ready = poll(fds, count, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      const ssize_t n = read(pipe_fd, buffer, sizeof buffer);
      if (n > 0) {
        output.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      break;  // end of output: every writer has closed the pipe
    }
    if (fds[1].revents != 0) continue;  // a stop request: seen at the top
    if (exited) break;                  // idle for the whole grace time after the child's exit
    if ((count == 3 && fds[2].revents != 0) || (process_fd < 0 && ready == 0)) {
      if (reap_now(pid)) exited = true;
    }
  }
  if (!exited && !stop_requested()) reap_after_output(pid, process_fd);
}

}  // namespace

std::optional<std::vector<std::string>> split_command_line(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (is_blank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (i + 1 < line.size()) {
        if (line[i + 1] != '\n') word += line[i + 1];  // backslash-newline joins lines
        i += 2;
      } else {
        word += c;
        ++i;
      }
    } else if (c == '\'') {
      const size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      word.append(line.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (c == '"') {
      ++i;
      for (;;) {
        if (i >= line.size()) return std::nullopt;
        const char q = line[i];
        if (q == '"') break;
        if (q == '\\' && i + 1 < line.size() && std::strchr("$`\"\\\n", line[i + 1])) {
          if (line[i + 1] != '\n') word += line[i + 1];
          i += 2;
        } else {
          word += q;
          ++i;
        }
      }
      ++i;
    } else {
      word += c;
      ++i;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

CapturedRun run_captured(std::string_view command_line) {
  CapturedRun run;
  const auto words = split_command_line(command_line);
  if (!words) {
    console_diagnostic("unbalanced quotes in the command line; nothing run\n");
    return run;
  }
  if (words->empty()) {
    console_diagnostic("empty command line; nothing run\n");
    return run;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    console_diagnostic("cannot create a pipe for the command's output: %s; nothing run\n",
                       std::strerror(errno));
    return run;
  }
  Fd read_end(pipe_fds[0]);
  Fd write_end(pipe_fds[1]);

  FileActions actions;
  // Both output streams first, then input: the write end may itself be 0, 1 or 2 when
  // the script host runs with those closed.
  posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDERR_FILENO);
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // A process group of its own, so that a stop can end the program with everything it
  // started.
  SpawnAttributes attributes(POSIX_SPAWN_SETPGROUP);
  std::vector<char*> argv = argv_pointers(*words);
  pid_t pid = -1;
  const int error =
      posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ);
  if (error != 0) {
    console_diagnostic("cannot start %s: %s\n", argv[0], std::strerror(error));
    return run;
  }
  run.started = true;
  write_end.reset();
  // A descriptor that becomes readable when the child exits (-1 on kernels without it).
  Fd process_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  read_output(read_end.get(), pid, process_fd.get(), run.output);
  return run;
}

int start_detached(const std::vector<std::string>& words) {
  if (words.empty()) return EINVAL;
  FileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes(POSIX_SPAWN_SETSID);
  std::vector<char*> argv = argv_pointers(words);
  pid_t pid = -1;
  const int error =
      posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ);
  if (error == 0) reap_when_ended(pid);
  return error;
}

pid_t start_in_session(const char* path, const std::vector<std::string>& words,
                       std::span<const int> passed, int& error) {
  // Each passed descriptor is first copied above every place it goes to, so that putting
  // one in place never overwrites another that is still to be moved (they may be 3 or 4
  // already, or even 0-2 when this process runs with its standard streams closed).
  std::deque<Fd> copies;
  for (const int fd : passed) {
    copies.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, 3 + static_cast<int>(passed.size())));
    if (copies.back().get() < 0) {
      error = errno;
      return -1;
    }
  }
  FileActions actions;
  for (size_t i = 0; i < copies.size(); ++i)
    posix_spawn_file_actions_adddup2(actions.get(), copies[i].get(), 3 + static_cast<int>(i));
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // Descriptors that the script or a library opened without close-on-exec stay here.
  posix_spawn_file_actions_addclosefrom_np(actions.get(), 3 + static_cast<int>(copies.size()));
  SpawnAttributes attributes(POSIX_SPAWN_SETSID);
  std::vector<char*> argv = argv_pointers(words);
  pid_t pid = -1;
  error = posix_spawn(&pid, path, actions.get(), attributes.get(), argv.data(), environ);
  return error == 0 ? pid : -1;
}

void reap_when_ended(pid_t pid) {
  std::thread([pid] {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace tapline::system
