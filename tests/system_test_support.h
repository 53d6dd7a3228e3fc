// Shared pieces of the system and network tests: a script state with the library
// registered, child processes the tests start (and end by pid), a private X server.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <lua.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Lualib/script_library.h"
#include "xvfb.h"

extern char** environ;

namespace tapline::system_testing {

// A Lua state with the standard libraries and the script library, as scripts see it.
class Script {
 public:
  Script() : L_(luaL_newstate()) {
    luaL_openlibs(L_);
    script::register_script_library(L_);
  }
  ~Script() { lua_close(L_); }
  Script(const Script&) = delete;
  Script& operator=(const Script&) = delete;
  lua_State* state() const { return L_; }

  // Runs a chunk and leaves its results on the stack; fails the test on an error.
  int run(const std::string& code) {
    const int base = lua_gettop(L_);
    if (luaL_loadstring(L_, code.c_str()) != LUA_OK || lua_pcall(L_, 0, LUA_MULTRET, 0) != LUA_OK) {
      ADD_FAILURE() << "script failed: " << lua_tostring(L_, -1) << "\n" << code;
      lua_settop(L_, base);
      return 0;
    }
    return lua_gettop(L_) - base;
  }
  // Runs a chunk that returns one value and gives it as text (the type name when it is
  // not text or a number).
  std::string text(const std::string& code) {
    const int count = run(code);
    std::string value;
    if (count > 0) {
      const int type = lua_type(L_, -count);
      size_t length = 0;
      const char* text = (type == LUA_TSTRING || type == LUA_TNUMBER)
                             ? lua_tolstring(L_, -count, &length)
                             : nullptr;
      value = text ? std::string(text, length) : std::string("<") + lua_typename(L_, type) + ">";
    }
    lua_pop(L_, count);
    return value;
  }
  lua_Integer integer(const std::string& code) {
    const int count = run(code);
    const lua_Integer value = count > 0 ? lua_tointeger(L_, -count) : -999999;
    lua_pop(L_, count);
    return value;
  }

 private:
  lua_State* L_;
};

// A program started by a test, with its standard output readable line by line. Ended by
// its pid when the object goes.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, bool quiet_stderr = true) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (quiet_stderr)
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> pointers;
    for (const std::string& word : argv) pointers.push_back(const_cast<char*>(word.c_str()));
    pointers.push_back(nullptr);
    const int error = posix_spawnp(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    if (error != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // One line of the child's output (without its end); empty when none came in time.
  std::string read_line(int timeout_ms = 10000) {
    std::string line;
    char c;
    pollfd ready{out_, POLLIN, 0};
    while (poll(&ready, 1, timeout_ms) == 1 && read(out_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// A private X server for one test program.
using XServer = tapline::testing::XvfbServer;

// The output of a shell command line (run by the test itself, not by the code under test).
inline std::string shell_output(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

// Waits (bounded) for a condition that another process brings about.
template <typename Condition>
bool eventually(Condition condition, int attempts = 500) {
  for (int i = 0; i < attempts; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

}  // namespace tapline::system_testing
