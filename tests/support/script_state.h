// A Lua state for calling script functions as a script does, with the whole script
// library registered. Frames and pauses are recorded with command_capture.h.
#pragma once

#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>

#include "script/script_library.h"

namespace tapline::test_support {

// A Lua state with every registered script global, for calling them as a script does.
class ScriptState {
 public:
  ScriptState() : L_(luaL_newstate()) {
    luaL_openlibs(L_);
    script::register_script_library(L_);
  }
  ~ScriptState() { lua_close(L_); }
  ScriptState(const ScriptState&) = delete;
  ScriptState& operator=(const ScriptState&) = delete;

  lua_State* get() const { return L_; }

  // Runs a chunk; fails the test on a Lua error.
  void run(const std::string& chunk) {
    if (luaL_dostring(L_, chunk.c_str()) != LUA_OK) {
      ADD_FAILURE() << "script error: " << lua_tostring(L_, -1);
      lua_pop(L_, 1);
    }
  }

  // Evaluates one expression and returns its value as an integer; fails the test unless
  // the value is a Lua integer (the script functions push integers, not floats).
  lua_Integer integer(const std::string& expression) {
    lua_settop(L_, 0);
    run("result = " + expression);
    lua_getglobal(L_, "result");
    EXPECT_TRUE(lua_isinteger(L_, -1)) << expression << " gives " << luaL_typename(L_, -1);
    const lua_Integer value = lua_tointeger(L_, -1);
    lua_settop(L_, 0);
    return value;
  }

  // The number of values the expression's call returns.
  int result_count(const std::string& call) {
    lua_settop(L_, 0);
    run("result_count = select('#', " + call + ")");
    lua_getglobal(L_, "result_count");
    const int count = static_cast<int>(lua_tointeger(L_, -1));
    lua_settop(L_, 0);
    return count;
  }

 private:
  lua_State* L_;
};

}  // namespace tapline::test_support
