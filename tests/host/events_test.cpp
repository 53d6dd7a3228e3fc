// Timers, event registrations and the script's Loop.
#include "script/events.h"

#include <gtest/gtest.h>

#include <cctype>
#include <lua.hpp>
#include <string>
#include <vector>

#include "host/run/run_script.h"
#include "program_run.h"

namespace {

using tapline::testing::run_tapline_script;
using tapline::testing::script_output;

// Runs a script whose last action writes "result:<values>\n"; returns the values.
std::string result_of(const std::string& script) {
  const auto run = run_tapline_script(script);
  const std::string out = script_output(run.out);
  const size_t at = out.rfind("result:");
  if (at == std::string::npos) return "(no result) " + out;
  return out.substr(at + 7, out.find('\n', at) - at - 7);
}

// `text` with the digits after each `label` replaced by "#"; the digits are collected in
// `numbers` (when given).
std::string mask_numbers(std::string text, const std::string& label,
                         std::vector<std::string>* numbers = nullptr) {
  for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at)) {
    at += label.size();
    size_t end = at;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) != 0 ||
                                 (end == at && text[end] == '-')))
      ++end;
    if (numbers != nullptr) numbers->push_back(text.substr(at, end - at));
    text.replace(at, end - at, 1, '#');
  }
  return text;
}

// An endless timer that ends the Loop after `passes` passes; started first, it fires
// first in every pass.
std::string pass_counter(int passes) {
  return "passes = 0\nTimerLoopStart(function() passes = passes + 1 if passes == " +
         std::to_string(passes) + " then EndScript() end end, 0)\n";
}

TEST(HostTimers, OneShotTimerPrintsItsFiringLineAndRuns) {
  const auto run = run_tapline_script(
      "local id = TimerStart(function() printf('fired\\n') EndScript() end, 20)\n"
      "printf('id %d\\n', id)\n"
      "Loop()\n"
      "printf('after\\n')\n");
  std::vector<std::string> ids;
  std::vector<std::string> funids;
  const std::string out = mask_numbers(
      mask_numbers(mask_numbers(script_output(run.out), "id ", &ids), "funid:", &funids), "start:");
  EXPECT_EQ(out,
            "global:TimerStart\ntimer add:interval:20\nglobal:printf\nid #\nglobal:Loop\n"
            "funid:#  times:0  valid:0  interval:20  start:#\n"
            "global:printf\nfired\nglobal:EndScript\nEndScriptglobal:printf\nafter\n");
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(funids, ids) << "the firing line names the timer by its id";
  EXPECT_EQ(run.status, 0);
}

TEST(HostTimers, OneShotTimerFiresOnlyOnce) {
  EXPECT_EQ(result_of("once = 0\nTimerStart(function() once = once + 1 end, 0)\n" +
                      pass_counter(10) + "Loop()\nprintf('result:%d %d\\n', once, passes)\n"),
            "1 10");
}

TEST(HostTimers, EndlessTimerFiresOnEveryPass) {
  const auto run = run_tapline_script(pass_counter(3) + "Loop()\n");
  const std::string out = mask_numbers(mask_numbers(script_output(run.out), "funid:"), "start:");
  std::string expected = "global:TimerLoopStart\ntimer add:interval:0\nglobal:Loop\n";
  for (int i = 0; i < 3; ++i) expected += "funid:#  times:-1  valid:1  interval:0  start:#\n";
  expected += "global:EndScript\nEndScript";
  EXPECT_EQ(out, expected);
}

TEST(HostTimers, EndScriptBeforeLoopMakesItRunExactlyOnePass) {
  // The second Loop starts with no timers: the first Loop freed them when it returned.
  EXPECT_EQ(result_of("EndScript()\nn = 0\nTimerLoopStart(function() n = n + 1 end, 0)\n"
                      "Loop()\nlocal first = n\nEndScript()\nLoop()\n"
                      "printf('result:%d %d\\n', first, n)\n"),
            "1 1");
}

TEST(HostTimers, EndScriptFromACallbackFinishesThePass) {
  EXPECT_EQ(result_of("a, b = 0, 0\n"
                      "TimerLoopStart(function() a = a + 1 EndScript() end, 0)\n"
                      "TimerLoopStart(function() b = b + 1 end, 0)\n"
                      "Loop()\nprintf('result:%d %d\\n', a, b)\n"),
            "1 1");
}

TEST(HostTimers, TimerStartedByACallbackFiresInTheSamePass) {
  EXPECT_EQ(result_of(pass_counter(5) + "TimerStart(function()\n"
                                        "  TimerStart(function() seen_in = passes end, 0)\n"
                                        "end, 0)\n"
                                        "Loop()\nprintf('result:%d\\n', seen_in)\n"),
            "1");
}

TEST(HostTimers, StoppedTimerNoLongerFires) {
  EXPECT_EQ(result_of("n = 0\n"
                      "local id\n"
                      "id = TimerLoopStart(function() n = n + 1 if n == 2 then TimerStop(id) end "
                      "end, 0)\n"
                      "TimerStop(id + 1000)\nTimerStop('x')\nTimerStop()\n" +
                      pass_counter(6) + "Loop()\nprintf('result:%d\\n', n)\n"),
            "2");
}

TEST(HostTimers, FractionalIntervalReadsAsZeroAndFiresAtOnce) {
  const auto run = run_tapline_script(
      "TimerStart(function() hit = true EndScript() end, 1.5)\nLoop()\n"
      "printf('result:%s\\n', tostring(hit))\n");
  const std::string out = script_output(run.out);
  EXPECT_NE(out.find("timer add:interval:0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("result:true\n"), std::string::npos) << out;
}

TEST(HostTimers, NegativeIntervalComparesAsUnsignedAndNeverFires) {
  const auto run = run_tapline_script("hit = 0\nTimerStart(function() hit = hit + 1 end, -1)\n" +
                                      pass_counter(20) + "Loop()\nprintf('result:%d\\n', hit)\n");
  const std::string out = script_output(run.out);
  EXPECT_NE(out.find("timer add:interval:-1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("result:0\n"), std::string::npos) << out;
}

TEST(HostTimers, IntervalTakesTheIntegerConversionAndItsLow32Bits) {
  const auto run = run_tapline_script(
      "TimerStart(function() end, '30')\n"
      "TimerStart(function() end, 4294967301)\n"
      "TimerStart(function() end, 'abc')\n"
      "TimerStart(function() end)\n");
  EXPECT_EQ(script_output(run.out),
            "global:TimerStart\ntimer add:interval:30\n"
            "global:TimerStart\ntimer add:interval:5\n"
            "global:TimerStart\ntimer add:interval:0\n"
            "global:TimerStart\ntimer add:interval:0\n");
}

TEST(HostTimers, TimerStartWithoutAFunctionReturnsNil) {
  EXPECT_EQ(script_output(run_tapline_script("printf('%s\\n', tostring(TimerStart('x', 10)))\n"
                                             "local r = TimerLoopStart()\n")
                              .out),
            "global:TimerStart\nnot fun\nglobal:tostring\nglobal:printf\nnil\n"
            "global:TimerLoopStart\nnot fun\n");
}

TEST(HostTimers, TimerIdsAreDistinct) {
  EXPECT_EQ(result_of("local f = function() end\n"
                      "local a, b = TimerStart(f, 5), TimerLoopStart(f, 5)\n"
                      "printf('result:%s\\n', tostring(math.type(a) == 'integer' and a ~= b))\n"),
            "true");
}

TEST(HostLoop, CallbackErrorLeavesLoopWithTheSameErrorObject) {
  // The failing pass is abandoned (the second timer does not fire in it); the timers stay,
  // so a second Loop goes on with them.
  EXPECT_EQ(result_of("n, other = 0, 0\n"
                      "TimerLoopStart(function() n = n + 1\n"
                      "  if n == 1 then error({code = 7}) end\n"
                      "  EndScript()\n"
                      "end, 0)\n"
                      "TimerLoopStart(function() other = other + 1 end, 0)\n"
                      "local ok, e = pcall(Loop)\n"
                      "local other_then = other\n"
                      "Loop()\n"
                      "printf('result:%s %s %d %d %d\\n', tostring(ok), e.code, other_then, n, "
                      "other)\n"),
            "false 7 0 2 1");
}

TEST(HostLoop, CallbackErrorMessageReachesTheCaller) {
  EXPECT_EQ(result_of("TimerStart(function() error('boom', 0) end, 0)\n"
                      "local ok, e = pcall(Loop)\nprintf('result:%s %s\\n', tostring(ok), e)\n"),
            "false boom");
}

TEST(HostLoop, UncaughtCallbackErrorEndsTheScriptAndIsSaid) {
  const auto run = run_tapline_script(
      "TimerStart(function() error('boom') end, 0)\nLoop()\nprintf('after\\n')\n");
  const std::string out = script_output(run.out);
  EXPECT_EQ(out.find("after"), std::string::npos) << out;
  EXPECT_EQ(run.err.rfind("tapline: the script stopped on an error: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(":1: boom\nstack traceback:\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.status, 0);
}

TEST(HostLoop, NestedLoopInACallbackIsSafe) {
  // The inner Loop empties the timer list while the outer pass is visiting it.
  EXPECT_EQ(result_of("outer = 0\n"
                      "TimerLoopStart(function()\n"
                      "  outer = outer + 1\n"
                      "  if outer == 1 then\n"
                      "    TimerStart(function() EndScript() end, 0)\n"
                      "    Loop()\n"
                      "    EndScript()\n"
                      "  end\n"
                      "end, 0)\n"
                      "for i = 1, 50 do TimerStart(function() end, 0) end\n"
                      "Loop()\nprintf('result:%d\\n', outer)\n"),
            "2");
}

TEST(HostLoop, SubscribeAndPublishDoNothing) {
  EXPECT_EQ(result_of("printf('result:%d %d\\n', select('#', Subscribe('a', 1)), "
                      "select('#', Publish()))\n"),
            "0 0");
}

TEST(HostEvents, RegistrationPrintsTheReferenceNumber) {
  const auto run = run_tapline_script(
      "RegPinChange(function() end)\nRegPinChange(function() end)\n"
      "RegKbEvent(function() end)\nRegMouseEvent(function() end)\n");
  std::vector<std::string> funids;
  EXPECT_EQ(mask_numbers(script_output(run.out), "funid:", &funids),
            "global:RegPinChange\nfunid:#\nglobal:RegPinChange\nfunid:#\n"
            "global:RegKbEvent\nfunid:#\nglobal:RegMouseEvent\nfunid:#\n");
  ASSERT_EQ(funids.size(), 4u);
  EXPECT_NE(funids[0], funids[1]);
}

TEST(HostEvents, RegistrationWithoutAFunctionTellsOnlyTheHostWindow) {
  // The last argument counts: a function followed by another value is not registered.
  const auto run = run_tapline_script(
      "RegKbEvent(5)\nRegMouseEvent()\nRegPinChange('f')\nRegKbEvent(function() end, 5)\n",
      {"TAPLINE_HOST_MESSAGES=stderr"});
  EXPECT_EQ(script_output(run.out),
            "global:RegKbEvent\nglobal:RegMouseEvent\nglobal:RegPinChange\nglobal:RegKbEvent\n");
  std::string expected;
  for (int i = 0; i < 4; ++i) expected += "param #1 is not function\n";
  EXPECT_EQ(run.err, expected);
}

// The queues are fed by other threads of a host; nothing in the console program posts
// into them, so they are tested in this process.
class HostEventQueues : public ::testing::Test {
 protected:
  void SetUp() override {
    L = tapline::create_script_state();
    ASSERT_NE(L, nullptr);
    // Drain whatever an earlier test left.
    for (auto* queue : {&tapline::script::pin_change_queue, &tapline::script::kb_event_queue,
                        &tapline::script::mouse_event_queue})
      while (queue->pop() != 0) {
      }
  }
  void TearDown() override { lua_close(L); }

  std::string run(const std::string& script) {
    if (luaL_dostring(L, script.c_str()) != LUA_OK) return lua_tostring(L, -1);
    lua_getglobal(L, "seen");
    const char* seen = lua_tostring(L, -1);
    return seen != nullptr ? seen : "(none)";
  }

  lua_State* L = nullptr;
};

// Records each callback as "<pass>:<name>(<arguments>)" in the global text `seen`.
const char* kRecorder =
    "seen = ''\n"
    "local function note(name, ...)\n"
    "  seen = seen .. passes .. ':' .. name .. '(' .. table.concat({...}, ',') .. ') '\n"
    "end\n"
    "RegPinChange(function(...) note('pin', ...) end)\n"
    "RegKbEvent(function(...) note('kb', ...) end)\n"
    "RegMouseEvent(function(...) note('mouse', ...) end)\n";

TEST_F(HostEventQueues, EntriesAreDecodedAndServedInPassOrder) {
  tapline::script::mouse_event_queue.push(-7);
  tapline::script::kb_event_queue.push(0x00030041);
  tapline::script::pin_change_queue.push(0x1234);
  tapline::script::kb_event_queue.push(-2);
  tapline::script::pin_change_queue.push(-0x100);
  EXPECT_EQ(run(std::string(kRecorder) + "passes = 1\n"
                                         "TimerLoopStart(function() passes = passes + 1\n"
                                         "  if passes == 3 then EndScript() end end, 0)\n"
                                         "Loop()\n"),
            "1:pin(18,52) 1:kb(3,65) 1:mouse(-7) 2:pin(-1,0) 2:kb(-1,65534) ");
}

TEST_F(HostEventQueues, ZeroEntryCountsAsNoEntry) {
  tapline::script::mouse_event_queue.push(0);
  tapline::script::mouse_event_queue.push(5);
  EXPECT_EQ(run(std::string(kRecorder) + "passes = 1\n"
                                         "TimerLoopStart(function() passes = passes + 1\n"
                                         "  if passes == 3 then EndScript() end end, 0)\n"
                                         "Loop()\n"),
            "2:mouse(5) ");
}

TEST_F(HostEventQueues, EntryWithoutARegisteredCallbackIsDropped) {
  tapline::script::kb_event_queue.push(0x10001);
  EXPECT_EQ(
      run("EndScript()\nLoop()\n" + std::string(kRecorder) + "passes = 1\nEndScript()\nLoop()\n"),
      "");
}

TEST_F(HostEventQueues, CallbackErrorIsRaisedOutOfLoop) {
  tapline::script::pin_change_queue.push(0x101);
  EXPECT_EQ(run("RegPinChange(function(high, low) error('pin ' .. high .. low, 0) end)\n"
                "local ok, e = pcall(Loop)\nseen = tostring(ok) .. ' ' .. e\n"),
            "false pin 11");
}

}  // namespace
