// Running the console program (or any program) from tests, and capturing what a piece of
// in-process code writes to standard output.
#pragma once

#include <string>
#include <vector>

namespace tapline::testing {

struct ProgramResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `program` with `args` (argv[1]...), standard input from /dev/null, and the current
// environment with LC_ALL=C.UTF-8 and `environment` ("NAME=value" each) put in place of
// variables of the same names; TAPLINE_HOST_MESSAGES is not inherited. A program still
// running after a minute is killed (status -1) so that a hang cannot stall the suite.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& environment = {});

// The console output of the script itself: what a run printed after its start line and
// before its last line. Empty when either line is missing.
std::string script_output(const std::string& out);

// A file in a fresh temporary directory, removed with it.
class TempFile {
 public:
  explicit TempFile(const std::string& content, const std::string& name = "script.lua");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  std::string path_;
};

// Redirects file descriptor 1 into a temporary file for its lifetime; text() flushes
// standard output and returns everything written since construction.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text();

 private:
  int saved_fd_ = -1;
  int capture_fd_ = -1;
};

#ifdef TAPLINE_BINARY_DIR
// The console program of this build (test programs are compiled with its directory).
inline std::string tapline_binary() { return std::string(TAPLINE_BINARY_DIR) + "/tapline"; }

// Runs `script` (Lua text, written to a temporary file) with the console program over UDP
// to a closed port on 127.0.0.1, so that no USB device is touched.
inline ProgramResult run_tapline_script(const std::string& script,
                                        const std::vector<std::string>& environment = {}) {
  TempFile file(script);
  return run_program(tapline_binary(), {file.path(), "net", "127.0.0.1", "9"}, environment);
}
#endif

}  // namespace tapline::testing
