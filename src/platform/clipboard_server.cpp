#include "platform/clipboard_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system/bounded_wait.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

// How long setting the text waits for the serving process to report that it owns the
// clipboard.
constexpr std::chrono::milliseconds kServerStartTimeout{3000};

// The serving process outlives the script: named like it, it would look as if the script
// were still running. It takes a name of its own, as its thread name (which the kernel
// cuts to 15 characters) and as its command line: the forked copy of the program's
// argument area (its bounds from /proc/self/stat) is overwritten in place.
void name_this_process() {
  prctl(PR_SET_NAME, kClipboardServerName);
  std::FILE* stat = std::fopen("/proc/self/stat", "r");
  if (stat == nullptr) return;
  char text[2048] = "";
  const size_t got = std::fread(text, 1, sizeof text - 1, stat);
  std::fclose(stat);
  text[got] = '\0';
  // The fields after the command name, which may hold anything, closing parenthesis too.
  const char* rest = std::strrchr(text, ')');
  if (rest == nullptr) return;
  unsigned long long arg_start = 0, arg_end = 0;
  int field = 2;
  for (const char* p = rest + 1; *p != '\0' && field < 49; ++p) {
    if (*p != ' ') continue;
    ++field;
    if (field == 48) arg_start = std::strtoull(p + 1, nullptr, 10);
    if (field == 49) arg_end = std::strtoull(p + 1, nullptr, 10);
  }
  if (arg_start == 0 || arg_end <= arg_start) return;
  char* area = reinterpret_cast<char*>(static_cast<uintptr_t>(arg_start));
  const size_t size = static_cast<size_t>(arg_end - arg_start);
  std::memset(area, 0, size);
  std::memcpy(area, kClipboardServerName, std::min(size - 1, std::strlen(kClipboardServerName)));
}

// Detaches from the script's session and streams, keeping only the report descriptor (as
// descriptor 3); the script's files, pipes and display connections are closed.
[[noreturn]] void run_server(int report_fd, const std::function<void(int)>& serve) {
  setsid();
  name_this_process();
  signal(SIGPIPE, SIG_IGN);  // a reader that goes away must not end the server
  if (chdir("/") != 0) {
    // Staying in the script's directory is harmless.
  }
  const int null_fd = open("/dev/null", O_RDWR);
  if (report_fd != 3) {
    dup2(report_fd, 3);
    report_fd = 3;
  }
  for (int fd = 0; fd < 3; ++fd) dup2(null_fd, fd);
  close_range(4, ~0U, 0);
  serve(report_fd);
  _exit(0);
}

}  // namespace

void report_server_status(int report_fd, ServerStatus status) {
  const char byte = static_cast<char>(status);
  while (write(report_fd, &byte, 1) < 0 && errno == EINTR) {
  }
  close(report_fd);
}

ServerStatus start_clipboard_server(const std::function<void(int report_fd)>& serve) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    system::console_diagnostic("cannot create a pipe for the clipboard: %s; clipboard not set\n",
                               std::strerror(errno));
    return ServerStatus::no_answer;
  }
  // The serving process is the grandchild, so that it is nobody's zombie when it ends.
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    const pid_t server = fork();
    if (server == 0) run_server(ready[1], serve);
    _exit(server < 0 ? 1 : 0);
  }
  close(ready[1]);
  if (child < 0) {
    close(ready[0]);
    system::console_diagnostic("cannot start the clipboard process: %s; clipboard not set\n",
                               std::strerror(errno));
    return ServerStatus::no_answer;
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  char status = 0;
  pollfd answer{ready[0], POLLIN, 0};
  if (system::wait_ready({&answer, 1}, system::deadline_after(kServerStartTimeout)) ==
          system::WaitEnd::ready &&
      read(ready[0], &status, 1) != 1)
    status = 0;
  close(ready[0]);
  return static_cast<ServerStatus>(status);
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
    default:
      system::console_diagnostic("the clipboard process did not start; clipboard not set\n");
      return false;
  }
}

}  // namespace tapline::platform
