// Test harness for script functions that send reports: a Lua state with the script
// library registered, a SendCallback that records every frame and a clock that records
// every sleep instead of sleeping, both into one ordered log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Lualib/script_library.h"
#include "command/frame.h"
#include "platform/clock.h"
#include "tapline.h"

namespace tapline::test_support {

// One line per frame ("Mouse 01 00 00 00 00 00 00": report type, then the report bytes)
// and per sleep ("sleep 30"). The recorder checks the head of every frame as it comes.
class FrameLog final : public platform::Clock {
 public:
  FrameLog() {
    active() = this;
    set_send_cb(&FrameLog::record);
    platform::set_clock(this);
  }
  ~FrameLog() override {
    set_send_cb(nullptr);
    platform::set_clock(nullptr);
    active() = nullptr;
  }
  FrameLog(const FrameLog&) = delete;
  FrameLog& operator=(const FrameLog&) = delete;

  uint32_t tick_ms() override { return now; }
  void sleep_ms(int64_t ms) override {
    lines.push_back("sleep " + std::to_string(ms));
    now += static_cast<uint32_t>(ms);
  }

  // Lines that are frames, in order.
  std::vector<std::string> frames() const {
    std::vector<std::string> result;
    for (const std::string& line : lines)
      if (line.rfind("sleep ", 0) != 0) result.push_back(line);
    return result;
  }
  void clear() { lines.clear(); }

  std::vector<std::string> lines;
  std::vector<std::vector<uint8_t>> raw_frames;
  uint32_t now = 1000;
  // Called for every frame after it has been logged (a pointer that follows the moves).
  std::function<void(uint8_t type, const uint8_t* report, int length)> on_frame;

 private:
  static FrameLog*& active() {
    static FrameLog* log = nullptr;
    return log;
  }

  static void record(const uint8_t* frame, int length) {
    FrameLog* log = active();
    ASSERT_NE(log, nullptr);
    ASSERT_GE(length, 4);
    const int size = frame[1];
    EXPECT_EQ(frame[0], 0x2C);
    EXPECT_EQ(length, size + 4);
    uint8_t sum = frame[3];
    for (int i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + frame[4 + i]);
    EXPECT_EQ(frame[2], sum) << "checksum";
    const uint8_t type = frame[3] & 0x1F;
    EXPECT_EQ(size, static_cast<int>(report_length(type)));
    const char* name = report_type_name(type);
    std::string line = name ? name : "type" + std::to_string(type);
    for (int i = 0; i < size; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", frame[4 + i]);
      line += hex;
    }
    log->lines.push_back(line);
    log->raw_frames.emplace_back(frame, frame + length);
    if (log->on_frame) log->on_frame(type, frame + 4, size);
  }
};

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
