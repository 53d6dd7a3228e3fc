// Shared pieces of the system and network tests: a script state with the library
// registered, waits for what another process brings about.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <lua.hpp>
#include <string>
#include <thread>

#include "script/script_library.h"

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
