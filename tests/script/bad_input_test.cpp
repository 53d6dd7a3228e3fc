// Every script global called with every kind of bad argument: no arguments, nil,
// booleans, tables (cyclic and deeply nested too), functions, userdata, threads, huge and
// negative numbers, NaN and infinities, empty, 1 MB, zero-byte and invalid UTF-8 texts.
// None may crash, hang or raise a Lua error: script functions raise none of their own.
// Sleeps are instant, frames are checked and counted, the screen is a private Xvfb, the
// working directory a temporary one, and nothing outside can be started or fetched.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command/frame.h"
#include "core/frame_decoder.h"
#include "host/run/run_script.h"
#include "script/script_library.h"
#include "system/curl_library.h"
#include "tapline.h"
#include "test_clock.h"
#include "xvfb.h"

namespace {

using tapline::script::ScriptLibraryRow;

constexpr size_t kLongTextBytes = 1 << 20;
// Hang detection only: no call of the matrix comes anywhere near it.
constexpr auto kHangLimit = std::chrono::seconds(60);

std::atomic<uint64_t> frames_sent{0};
std::atomic<uint64_t> bad_frames{0};

void count_frame(const uint8_t* frame, int length) {
  ++frames_sent;
  if (!tapline::device::decode_datagram(frame, static_cast<size_t>(length & 0xFF)).ok) ++bad_frames;
}

void drop_host_text(unsigned int, uintptr_t, char* text) { std::free(text); }

// The surroundings of the whole matrix, set up before anything opens the display.
class Surroundings : public ::testing::Environment {
 public:
  void SetUp() override {
    xvfb_ = std::make_unique<tapline::testing::XvfbServer>("64x48x24");
    setenv("DISPLAY", xvfb_->name().c_str(), 1);
    unsetenv("TAPLINE_SCREEN");
    char pattern[] = "/tmp/tapline-bad-input-XXXXXX";
    directory_ = mkdtemp(pattern);
    std::filesystem::create_directory(directory_ + "/empty-path");
    saved_directory_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);  // where CaptureScreen writes
    saved_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (directory_ + "/empty-path").c_str(), 1);  // RunApp, ShellExecute
    std::freopen("/dev/null", "r", stdin);                    // message boxes do not wait
    tapline::system::set_curl_library_name("libcurl-absent-for-tapline-tests.so");
    clock_ = std::make_unique<tapline::testing::TestClock>(false);
    set_send_cb(count_frame);
    set_apphandle(drop_host_text);  // print and TracePrint render their texts
  }
  void TearDown() override {
    set_apphandle(nullptr);
    set_send_cb(nullptr);
    clock_.reset();
    tapline::system::set_curl_library_name(nullptr);
    setenv("PATH", saved_path_.c_str(), 1);
    std::filesystem::current_path(saved_directory_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    xvfb_.reset();
  }

 private:
  std::unique_ptr<tapline::testing::XvfbServer> xvfb_;
  std::unique_ptr<tapline::testing::TestClock> clock_;
  std::string directory_;
  std::string saved_directory_;
  std::string saved_path_;
};
::testing::Environment* const surroundings = ::testing::AddGlobalTestEnvironment(new Surroundings);

struct BadValue {
  const char* name;
  std::function<void(lua_State*)> push;
};

void push_text(lua_State* L, const std::string& text) {
  lua_pushlstring(L, text.data(), text.size());
}

// Values that take a while to build are built once per state and kept in its registry.
void push_chunk_result(lua_State* L, const char* chunk) {
  if (lua_getfield(L, LUA_REGISTRYINDEX, chunk) != LUA_TNIL) return;
  lua_pop(L, 1);
  if (luaL_dostring(L, chunk) != LUA_OK) {
    lua_pushnil(L);
    return;
  }
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, chunk);
}

const std::vector<BadValue>& bad_values() {
  static const std::string long_text(kLongTextBytes, 'x');
  static const std::vector<BadValue> values = {
      {"nil", [](lua_State* L) { lua_pushnil(L); }},
      {"true", [](lua_State* L) { lua_pushboolean(L, 1); }},
      {"false", [](lua_State* L) { lua_pushboolean(L, 0); }},
      {"empty table", [](lua_State* L) { lua_newtable(L); }},
      {"table", [](lua_State* L) { push_chunk_result(L, "return {1, 'a', x = {y = true}}"); }},
      {"cyclic table",
       [](lua_State* L) { push_chunk_result(L, "local t = {} t.self = t t[t] = t return t"); }},
      {"deep table",
       [](lua_State* L) {
         push_chunk_result(L, "local t = {} for i = 1, 100000 do t = {t} end return t");
       }},
      {"function", [](lua_State* L) { push_chunk_result(L, "return function() end"); }},
      {"C function", [](lua_State* L) { lua_pushcfunction(L, [](lua_State*) { return 0; }); }},
      {"light userdata", [](lua_State* L) { lua_pushlightuserdata(L, nullptr); }},
      {"userdata", [](lua_State* L) { lua_newuserdata(L, 16); }},
      {"thread", [](lua_State* L) { lua_newthread(L); }},
      {"zero", [](lua_State* L) { lua_pushinteger(L, 0); }},
      {"minus one", [](lua_State* L) { lua_pushinteger(L, -1); }},
      {"largest integer", [](lua_State* L) { lua_pushinteger(L, LUA_MAXINTEGER); }},
      {"smallest integer", [](lua_State* L) { lua_pushinteger(L, LUA_MININTEGER); }},
      {"2^32", [](lua_State* L) { lua_pushinteger(L, 4294967296LL); }},
      {"-2^31-1", [](lua_State* L) { lua_pushinteger(L, -2147483649LL); }},
      {"1e308", [](lua_State* L) { lua_pushnumber(L, 1e308); }},
      {"-1e308", [](lua_State* L) { lua_pushnumber(L, -1e308); }},
      {"2^63 float", [](lua_State* L) { lua_pushnumber(L, 9223372036854775808.0); }},
      {"half", [](lua_State* L) { lua_pushnumber(L, 0.5); }},
      {"minus half", [](lua_State* L) { lua_pushnumber(L, -0.5); }},
      {"NaN", [](lua_State* L) { lua_pushnumber(L, std::nan("")); }},
      {"infinity", [](lua_State* L) { lua_pushnumber(L, HUGE_VAL); }},
      {"minus infinity", [](lua_State* L) { lua_pushnumber(L, -HUGE_VAL); }},
      {"empty text", [](lua_State* L) { lua_pushstring(L, ""); }},
      {"1 MB text", [](lua_State* L) { push_text(L, long_text); }},
      {"text with zero bytes", [](lua_State* L) { push_text(L, std::string("ab\0cd\0", 6)); }},
      {"invalid UTF-8", [](lua_State* L) { lua_pushstring(L, "\xff\xfe\xc3\x28\xe4\xb8 \x80"); }},
      {"numeric text", [](lua_State* L) { lua_pushstring(L, " -7 "); }},
      {"hex text", [](lua_State* L) { lua_pushstring(L, "0x7FFFFFFFFFFFFFFF"); }},
      {"huge numeric text", [](lua_State* L) { lua_pushstring(L, "1e999"); }},
      {"nan text", [](lua_State* L) { lua_pushstring(L, "nan"); }},
      {"command text", [](lua_State* L) { lua_pushstring(L, "key:press,,"); }},
  };
  return values;
}

constexpr int kMostArguments = 7;

// The forms a value is tried in: alone, in every position among ordinary numbers, and in
// every position at once. The 1 MB text goes into the first two positions and all at once.
std::vector<std::vector<int>> forms(bool long_value) {
  std::vector<std::vector<int>> result;  // per position: -1 the bad value, else a number
  result.push_back({-1});
  for (int position = 1; position < (long_value ? 2 : kMostArguments); ++position) {
    std::vector<int> form(position + 1, 1);
    form[position] = -1;
    result.push_back(form);
  }
  result.push_back(std::vector<int>(kMostArguments, -1));
  return result;
}

// Calls that would rightly wait for ever are given an end: WaitKey gets a time-out, and
// EndScript comes before Loop so that it makes one pass.
bool waits_for_ever(const std::string& name, const std::vector<int>& form) {
  return name == "WaitKey" && (form.size() < 2 || form[1] == -1);
}

class ScriptBadInputTest : public ::testing::TestWithParam<ScriptLibraryRow> {
 protected:
  void SetUp() override {
    L = tapline::create_script_state();
    ASSERT_NE(L, nullptr);
  }
  void TearDown() override { lua_close(L); }

  // Calls the row's function in protected mode; the error text when it raised one.
  std::string call(const ScriptLibraryRow& row, const BadValue& value,
                   const std::vector<int>& form) {
    lua_settop(L, 0);
    if (std::string(row.name) == "Loop") {
      lua_getglobal(L, "EndScript");
      lua_call(L, 0, 0);
    }
    lua_pushcfunction(L, row.function);
    for (int argument : form) {
      if (argument == -1) {
        value.push(L);
      } else {
        lua_pushinteger(L, argument);
      }
    }
    const int status = lua_pcall(L, static_cast<int>(form.size()), LUA_MULTRET, 0);
    std::string error;
    if (status != LUA_OK) {
      const char* text = lua_tostring(L, -1);
      error = text ? text : "(error object without text)";
    }
    lua_settop(L, 0);
    return error;
  }

  lua_State* L = nullptr;
};

// Reports a call that does not end instead of leaving the suite to its time-out.
class HangWatch {
 public:
  HangWatch() : thread_([this] { watch(); }) {}
  ~HangWatch() {
    {
      std::lock_guard guard(lock_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void now_calling(std::string what) {
    std::lock_guard guard(lock_);
    current_ = std::move(what);
    since_ = std::chrono::steady_clock::now();
  }

 private:
  void watch() {
    std::unique_lock guard(lock_);
    while (!wake_.wait_for(guard, std::chrono::milliseconds(100), [this] { return done_; })) {
      if (std::chrono::steady_clock::now() - since_ > kHangLimit) {
        std::fprintf(stderr, "no end to %s\n", current_.c_str());
        std::abort();
      }
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::string current_;
  std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
  bool done_ = false;
  std::thread thread_;
};

TEST_P(ScriptBadInputTest, NoCrashNoHangNoError) {
  const ScriptLibraryRow& row = GetParam();
  HangWatch watch;
  watch.now_calling(std::string(row.name) + "()");
  const BadValue no_value{"", nullptr};
  EXPECT_EQ(call(row, no_value, {}), "") << row.name << "()";
  for (const BadValue& value : bad_values()) {
    for (const std::vector<int>& form : forms(std::string(value.name) == "1 MB text")) {
      std::string shown = std::string(row.name) + "(";
      for (size_t i = 0; i < form.size(); ++i)
        shown += (i ? ", " : "") + (form[i] == -1 ? std::string(value.name) : "1");
      shown += ")";
      std::vector<int> bounded = form;
      if (waits_for_ever(row.name, form)) {
        bounded.resize(std::max<size_t>(bounded.size(), 2));
        bounded[1] = 1;
        shown += " with a time-out of 1";
      }
      watch.now_calling(shown);
      EXPECT_EQ(call(row, value, bounded), "") << shown;
    }
  }
  EXPECT_EQ(bad_frames.load(), 0u) << "malformed frames were sent";
}

INSTANTIATE_TEST_SUITE_P(EveryScriptGlobal, ScriptBadInputTest,
                         ::testing::ValuesIn(tapline::script::script_globals().begin(),
                                             tapline::script::script_globals().end()),
                         [](const auto& info) {
                           return std::to_string(info.index) + "_" + info.param.name;
                         });

}  // namespace
