// Programs a test starts and talks to while they run: standard output and error read line
// by line through pipes, signals, the exit status. Each is ended by its pid when the object
// goes. Every wait is bounded only so that a hung child cannot stall the suite; no test
// result depends on how fast a child answers.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tapline::testing {

// Where a child's standard output or error goes.
enum class ChildOutput {
  Pipe,     // read by the test; a pipe nobody reads stops the child once it is full
  Discard,  // /dev/null
  Inherit,  // the test program's own stream
  File,     // the file named by ChildOptions::file, created or emptied
};

struct ChildOptions {
  // "NAME=value" entries put in place of the test's variables of the same names.
  std::vector<std::string> environment;
  // Names of the test's variables the child does not get.
  std::vector<std::string> unset;
  ChildOutput out = ChildOutput::Pipe;
  ChildOutput err = ChildOutput::Pipe;
  std::string file;  // for ChildOutput::File
  // The child's working folder; empty: the test's own.
  std::string directory;
  // A process group of its own, as a terminal's foreground job has: signals then reach
  // the programs the child starts too.
  bool own_process_group = false;
};

// The test's environment with `replacements` ("NAME=value") in place of the variables of the
// same names and without the variables named in `unset`.
std::vector<std::string> child_environment(const std::vector<std::string>& replacements,
                                           const std::vector<std::string>& unset = {});

class ChildProcess {
 public:
  // `argv[0]` is a path or a name looked up in PATH; standard input is /dev/null.
  // Throws std::runtime_error when the program cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
  // Kills the child (its group, when it has one) if it is still there, and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // One line of standard output or error without its end; empty, with `ok` false, at the
  // end of the stream or when no line comes before the hang guard.
  std::string out_line(bool& ok) { return read_line(out_, out_buffer_, ok); }
  std::string err_line(bool& ok) { return read_line(err_, err_buffer_, ok); }
  // The same, failing the test when no line comes.
  std::string out_line();
  // Everything still to come on the stream until it ends.
  std::string rest_of_out() { return read_rest(out_, out_buffer_); }
  std::string rest_of_err() { return read_rest(err_, err_buffer_); }

  // To the child, or to its whole group when it has one of its own.
  void signal(int number);
  // Waits for the child to end: its exit status, -1 when it did not exit normally (it is
  // killed when it outlasts the hang guard).
  int wait_exit_status();
  // The exit status as wait_exit_status gives it once the child has ended; nothing while
  // it runs.
  std::optional<int> exit_status_if_ended();
  // Signals the child and waits for its exit status.
  int end(int signal_number) {
    signal(signal_number);
    return wait_exit_status();
  }

 private:
  static std::string read_line(int fd, std::string& buffer, bool& ok);
  static std::string read_rest(int fd, std::string& buffer);

  pid_t pid_ = -1;
  bool own_group_ = false;
  int out_ = -1;
  int err_ = -1;
  std::string out_buffer_;
  std::string err_buffer_;
};

// The software device listening on a free loopback port: started with "--listen
// 127.0.0.1:0" and `options`, its port read from its first line on standard error
// ("listening on 127.0.0.1:PORT"). `child.err` is always a pipe.
class ListeningDevice : public ChildProcess {
 public:
  ListeningDevice(const std::string& binary, const std::vector<std::string>& options = {},
                  ChildOptions child = {});

  // 0, after a test failure naming the line, when the first line gave no port.
  int port() const { return port_; }

 private:
  int port_ = 0;
};

// A field of one line of the device's --json output: the text of a string field, the
// digits of a number field; empty when the line has no such field.
std::string json_field(const std::string& line, const std::string& name);

#ifdef TAPLINE_BINARY_DIR
// The software device of this build (test programs are compiled with its directory).
inline std::string device_binary() {
  return std::string(TAPLINE_BINARY_DIR) + "/tools/device/tapline-device";
}
#endif

}  // namespace tapline::testing
