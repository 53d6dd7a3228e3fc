// Running the console program (or any program) from tests, and capturing what a piece of
// in-process code writes to standard output.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tapline::testing {

struct ProgramResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `program` (a path, or a name looked up in PATH) with `args` (argv[1]...), standard input
// from /dev/null, and the current environment with LC_ALL=C.UTF-8 and `environment` ("NAME=value"
// each) put in place of variables of the same names; TAPLINE_HOST_MESSAGES is not inherited. A
// program still running after a minute is killed (status -1) so that a hang cannot stall the suite.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& environment = {});

// The console output of the script itself: what a run printed after its start line and
// before its last line. Empty when either line is missing.
std::string script_output(const std::string& out);

// A fresh temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& directory() const { return directory_; }
  std::string file(const std::string& name) const { return directory_ + "/" + name; }
  // Writes the file `name` in the directory: its path.
  std::string write(const std::string& name, std::string_view bytes) const;
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    return write(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }

 private:
  std::string directory_;
};

// A file in a fresh temporary directory, removed with it.
class TempFile : public TempDir {
 public:
  explicit TempFile(const std::string& content, const std::string& name = "script.lua")
      : path_(write(name, content)) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// `text` as a Lua string literal that gives exactly its bytes, whatever they are.
std::string lua_quoted(const std::string& text);

// The output of a shell command line (run by the test itself, not by the code under test).
std::string shell_output(const std::string& command);

// Waits (bounded) for a condition that another process brings about.
template <typename Condition>
bool eventually(Condition condition, int attempts = 500) {
  for (int i = 0; i < attempts; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

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
