#include "platform/clipboard_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "system/console.h"
#include "system/process.h"
#include "system/stop_request.h"

namespace tapline::platform {
namespace {

// How long setting the text waits for the serving process to report that it owns the
// clipboard.
constexpr auto kServerStartTimeout = std::chrono::milliseconds(3000);

// Where the serving process finds its report pipe and its text.
constexpr int kReportFd = 3;
constexpr int kTextFd = 4;

// Sealed against every change: the text cannot change under the serving process, which
// also tells the memory file from any other file found at its descriptor.
constexpr int kTextSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// The text in a sealed memory file: a large one passes at once, without a pipe that both
// sides must keep moving, and no other user sees it (as one would in the arguments or the
// environment). -1 with errno set when it cannot be made.
int text_file(std::string_view utf8) {
  const int fd = memfd_create(kClipboardServerName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  size_t written = 0;
  while (written < utf8.size()) {
    const ssize_t n = write(fd, utf8.data() + written, utf8.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      close(fd);
      errno = error;
      return -1;
    }
    written += static_cast<size_t>(n);
  }
  if (fcntl(fd, F_ADD_SEALS, kTextSeals) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// The serving process's report, or timed_out when none comes in time or a stop is
// requested, or not_started when it ends without one.
ServerStatus await_report(int report_fd) {
  const auto deadline = std::chrono::steady_clock::now() + kServerStartTimeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || system::stop_requested()) return ServerStatus::timed_out;
    pollfd fds[2] = {{report_fd, POLLIN, 0}, {system::stop_wake_fd(), POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return ServerStatus::not_started;
    if (ready <= 0 || fds[0].revents == 0) continue;
    char status = 0;
    const ssize_t got = read(report_fd, &status, 1);
    if (got < 0 && errno == EINTR) continue;
    return got == 1 ? static_cast<ServerStatus>(status) : ServerStatus::not_started;
  }
}

// The whole text of the sealed memory file the setter made.
bool read_text(int fd, std::string& text) {
  struct stat file {};
  if (fcntl(fd, F_GET_SEALS) != kTextSeals || fstat(fd, &file) != 0) return false;
  text.resize(static_cast<size_t>(file.st_size));
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ServerStatus start_clipboard_server(const char* backend, std::string_view utf8) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    system::console_diagnostic("cannot create a pipe for the clipboard: %s; clipboard not set\n",
                               std::strerror(errno));
    return ServerStatus::said;
  }
  const int text = text_file(utf8);
  int error = errno;
  pid_t server = -1;
  if (text >= 0) {
    const int passed[] = {report[1], text};
    // This very program, whatever its path has become since it started.
    server = system::start_in_session(
        "/proc/self/exe", {kClipboardServerName, kServeClipboardOption, backend}, passed, error);
    close(text);
  }
  close(report[1]);
  if (server < 0) {
    close(report[0]);
    system::console_diagnostic("cannot start the clipboard process: %s; clipboard not set\n",
                               std::strerror(error));
    return ServerStatus::said;
  }
  const ServerStatus status = await_report(report[0]);
  close(report[0]);
  if (status == ServerStatus::owned) {
    system::reap_when_ended(server);
  } else {
    // Ended at once (it has nothing left to do, or it would take the clipboard once its
    // display answers, after the script was told that it failed).
    kill(server, SIGKILL);
    while (waitpid(server, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  system::check_stop();  // a stop that came during the wait is acted on now
  return status;
}

bool clipboard_server_started(ServerStatus status, const char* display) {
  switch (status) {
    case ServerStatus::owned:
      return true;
    case ServerStatus::no_display:
      system::console_diagnostic("cannot open %s; clipboard not set\n", display);
      return false;
    case ServerStatus::not_owned:
      system::console_diagnostic("another program kept the clipboard; clipboard not set\n");
      return false;
    case ServerStatus::unsupported:
      system::console_diagnostic("%s offers no clipboard; clipboard not set\n", display);
      return false;
    case ServerStatus::timed_out:
      system::console_diagnostic("%s did not answer in time; clipboard not set\n", display);
      return false;
    case ServerStatus::said:
      return false;
    default:
      system::console_diagnostic("the clipboard process did not start; clipboard not set\n");
      return false;
  }
}

int run_clipboard_server(ClipboardServe serve) {
  // Started with the name as its first word already; this makes it the thread name too,
  // which ps and top show (the kernel cuts it to 15 characters).
  prctl(PR_SET_NAME, kClipboardServerName);
  signal(SIGPIPE, SIG_IGN);  // a reader that goes away must not end the server
  std::string utf8;
  if (fcntl(kReportFd, F_GETFD) < 0 || !read_text(kTextFd, utf8)) {
    system::console_diagnostic(
        "%s is started by the program itself, with its text and report descriptors\n",
        kServeClipboardOption);
    return 2;
  }
  close(kTextFd);
  if (chdir("/") != 0) {
    // Staying in the script's directory is harmless.
  }
  serve(kReportFd, std::move(utf8));
  return 0;
}

void report_server_status(int report_fd, ServerStatus status) {
  const char byte = static_cast<char>(status);
  while (write(report_fd, &byte, 1) < 0 && errno == EINTR) {
  }
  close(report_fd);
}

}  // namespace tapline::platform
