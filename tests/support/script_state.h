// A Lua state with the standard libraries and every script global, for calling them as a
// script does. Frames and pauses are recorded with command_capture.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <lua.hpp>
#include <string>
#include <vector>

#include "script/script_library.h"

namespace tapline::testing {

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

  // Runs `code` and leaves its results on the stack: their number. `code` is an expression
  // when "return " + code compiles (as the interactive interpreter reads a line), a chunk
  // otherwise. Fails the test on an error.
  int run(const std::string& code) {
    const int base = lua_gettop(L_);
    if (luaL_loadstring(L_, ("return " + code).c_str()) != LUA_OK) {
      lua_pop(L_, 1);
      if (luaL_loadstring(L_, code.c_str()) != LUA_OK) return failed(code, base);
    }
    if (lua_pcall(L_, 0, LUA_MULTRET, 0) != LUA_OK) return failed(code, base);
    return lua_gettop(L_) - base;
  }

  // The first value `code` gives, which must be a Lua integer (script globals give
  // integers, never floats).
  lua_Integer integer(const std::string& code) {
    lua_settop(L_, 0);
    const int count = run(code);
    EXPECT_TRUE(count > 0 && lua_isinteger(L_, 1)) << code << " gives " << luaL_typename(L_, 1);
    const lua_Integer value = lua_tointeger(L_, 1);
    lua_settop(L_, 0);
    return value;
  }

  // The first value as text; the type name in <> when it is neither text nor a number.
  std::string text(const std::string& code) {
    lua_settop(L_, 0);
    std::string value;
    if (run(code) > 0) {
      size_t length = 0;
      const int type = lua_type(L_, 1);
      const char* text =
          type == LUA_TSTRING || type == LUA_TNUMBER ? lua_tolstring(L_, 1, &length) : nullptr;
      value = text ? std::string(text, length) : std::string("<") + lua_typename(L_, type) + ">";
    }
    lua_settop(L_, 0);
    return value;
  }

  // Every value `code` gives, as integers; what it wrote to standard output goes to
  // `printed` when given.
  std::vector<int64_t> integers(const std::string& code, std::string* printed = nullptr) {
    lua_settop(L_, 0);
    ::testing::internal::CaptureStdout();
    const int count = run(code);
    std::fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    std::vector<int64_t> results;
    for (int i = 1; i <= count; ++i) results.push_back(lua_tointeger(L_, i));
    lua_settop(L_, 0);
    return results;
  }

  // The number of values `code` gives.
  int result_count(const std::string& code) {
    lua_settop(L_, 0);
    const int count = run(code);
    lua_settop(L_, 0);
    return count;
  }

 private:
  int failed(const std::string& code, int base) {
    ADD_FAILURE() << "script error: " << lua_tostring(L_, -1) << "\n" << code;
    lua_settop(L_, base);
    return 0;
  }

  lua_State* L_;
};

}  // namespace tapline::testing
