// Child processes: a program run with its output captured, and a program started and
// left to run on its own.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tapline::system {

// Splits a command line into words as a POSIX shell does, without running one: blanks
// separate words, single quotes keep everything literally, double quotes keep everything
// but a backslash before $ ` " \ or a line end, a backslash outside quotes keeps the next
// character. Nothing is substituted or expanded. Empty when a quote is left open.
std::optional<std::vector<std::string>> split_command_line(std::string_view line);

struct CapturedRun {
  bool started = false;
  // Everything the program wrote to standard output and standard error, in order.
  std::string output;
};

// Runs the command line (searched on PATH) in a process group of its own, with standard
// input on /dev/null and both output streams on one pipe, reads until every writer has
// closed the pipe, and reaps the child. Once the child has exited, something it left
// behind that still holds the pipe is read until the pipe has been idle for 2 s. On a stop
// request the child's process group gets SIGTERM, then SIGKILL after half a second, before
// the stop is acted on. A program that cannot be started is said once on standard error
// and gives `started` false.
CapturedRun run_captured(std::string_view command_line);

// Starts the program in a session of its own with all standard streams on /dev/null and
// does not wait for it; it is reaped in the background when it ends. 0 when started,
// else the error number of the failed start.
int start_detached(const std::vector<std::string>& argv);

// Starts the program at `path` (not searched on PATH) with `argv` in a session of its own,
// its standard streams on /dev/null and `passed[i]` as its descriptor 3 + i; no other
// descriptor of this process reaches it. The pid, which is the caller's to end and reap
// (reap_when_ended); -1 with `error` set when it cannot be started.
pid_t start_in_session(const char* path, const std::vector<std::string>& argv,
                       std::span<const int> passed, int& error);
// Reaps the child in the background once it ends, so that it leaves no zombie.
void reap_when_ended(pid_t pid);

}  // namespace tapline::system
