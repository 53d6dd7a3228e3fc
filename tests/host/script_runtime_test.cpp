// The script run: state preparation, the call echo, script control and how load and run
// failures end a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_run.h"
#include "script_state.h"
#include "test_clock.h"

namespace {

using tapline::testing::run_program;
using tapline::testing::run_tapline_script;
using tapline::testing::script_output;
using tapline::testing::tapline_binary;
using tapline::testing::TempFile;

TEST(HostScriptRun, SyntaxErrorIsShownInAMessageBoxAndNothingRuns) {
  TempFile script("printf('first\\n')\nlocal x = 1\nx = = 2\n");
  const auto result = run_program(tapline_binary(), {script.path(), "net", "127.0.0.1", "9"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Sep 27 2022\n使用UDP通信\nnetwork:127.0.0.1:9\n开始运行。。。运行结束\n");
  // Caption, the loader's message naming the file and the line, and the only button.
  EXPECT_EQ(result.err.rfind("[ 语法错误 ]\n" + script.path() + ":3:", 0), 0u) << result.err;
  EXPECT_NE(result.err.find("\n[OK]\n"), std::string::npos) << result.err;
}

TEST(HostScriptRun, UnreadableFileIsReportedByTheLoader) {
  // A file that exists but cannot be read as a script: the loader's own message.
  const std::string unreadable = "/proc/self/mem";
  const auto result = run_program(tapline_binary(), {unreadable, "net", "127.0.0.1", "9"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(script_output(result.out), "");
  EXPECT_EQ(result.err.rfind("[ 语法错误 ]\n", 0), 0u) << result.err;
}

TEST(HostScriptRun, RunTimeErrorEndsTheScriptWithItsTracebackOnStandardError) {
  const auto result = run_tapline_script("undefined_function()\nprintf('after\\n')\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Sep 27 2022\n使用UDP通信\nnetwork:127.0.0.1:9\n开始运行。。。运行结束\n");
  EXPECT_NE(result.err.find(":1: attempt to call a nil value (global 'undefined_function')\n"
                            "stack traceback:\n"),
            std::string::npos)
      << result.err;
}

TEST(HostScriptRun, ErrorInPrintfFormattingIsARunTimeError) {
  const auto result = run_tapline_script("printf('%d\\n', 'x')\nprintf('after\\n')\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(script_output(result.out), "global:printf\n");
}

TEST(HostScriptRun, PrintfFormatsThroughStringFormatWithoutALineEnd) {
  const auto result = run_tapline_script("printf('%d\\n', 5)\nprintf('%s-%5.2f', 'a', 1.5)\n");
  EXPECT_EQ(script_output(result.out), "global:printf\n5\nglobal:printf\na- 1.50");
}

TEST(HostScriptRun, PrintfUsesTheFunctionsCapturedAtPreparation) {
  // Replacing io.write or string.format later changes nothing for printf.
  const auto result =
      run_tapline_script("io.write = nil\nstring.format = nil\nprintf('still %s\\n', 'works')\n");
  EXPECT_EQ(script_output(result.out), "global:printf\nstill works\n");
}

TEST(HostScriptRun, NamedCallsAreEchoedWithTheKindOfName) {
  const auto result = run_tapline_script(
      "local function helper() end\n"
      "helper()\n"
      "local t = {m = function() end}\n"
      "t:m()\n"
      "t.m()\n"
      "local s = ('x'):rep(2)\n");
  EXPECT_EQ(script_output(result.out), "local:helper\nmethod:m\nfield:m\nmethod:rep\n");
}

TEST(HostScriptRun, CallsFromNativeCodeAreNotEchoed) {
  // pcall's callee, table.sort's comparator and printf's inner calls have no name.
  const auto result = run_tapline_script(
      "pcall(function() end)\n"
      "table.sort({2, 1}, function(a, b) return a < b end)\n");
  EXPECT_EQ(script_output(result.out), "global:pcall\nfield:sort\n");
}

TEST(HostScriptRun, ControlWordsFollowTheEchoWithoutALineEnd) {
  const auto result = run_tapline_script(
      "Pause()\n"
      "RestartScript()\n"
      "EndScript()\n"
      "function MyPause() end\n"
      "MyPause()\n"
      "function RestartScriptPause() end\n"
      "RestartScriptPause()\n"
      "function pause() end\n"
      "pause()\n");
  EXPECT_EQ(script_output(result.out),
            "global:Pause\nPause"
            "global:RestartScript\nRestartScript"
            "global:EndScript\nEndScript"
            "global:MyPause\nPause"
            "global:RestartScriptPause\nRestartScript"
            "global:pause\n");
}

TEST(HostScriptRun, PauseAndRestartScriptLetTheScriptGoOn) {
  const auto result = run_tapline_script("Pause()\nRestartScript()\nprintf('on\\n')\n");
  EXPECT_EQ(script_output(result.out),
            "global:Pause\nPauseglobal:RestartScript\nRestartScriptglobal:printf\non\n");
}

TEST(HostScriptRun, PreludeDisablesDumpAndDebug) {
  const auto result = run_tapline_script(
      "local n = select('#', string.dump(function() end))\n"
      "local empty = next(debug) == nil\n"
      "io.write(n, ' ', type(debug), ' ', tostring(empty), ' ', tostring(debug.getinfo), '\\n')\n");
  EXPECT_EQ(script_output(result.out),
            "field:dump\nglobal:select\nglobal:next\nglobal:type\nglobal:tostring\n"
            "global:tostring\nfield:write\n0 table true nil\n");
}

TEST(HostScriptRun, ScriptGetsNoArguments) {
  const auto result = run_tapline_script("io.write(tostring(arg), ' ', select('#', ...), '\\n')\n");
  EXPECT_EQ(script_output(result.out), "global:tostring\nglobal:select\nfield:write\nnil 0\n");
}

TEST(HostScriptRun, StandardLibrariesAndAuthorArePresent) {
  const auto result = run_tapline_script(
      "local ok = type(author) == 'string' and #author > 0 and math.floor(2.5) == 2\n"
      "  and os.time() > 0 and coroutine.wrap(function() return 1 end)() == 1\n"
      "  and utf8.char(72) == 'H' and type(package.loaded) == 'table'\n"
      "io.write(tostring(ok), '\\n')\n");
  EXPECT_NE(script_output(result.out).find("\ntrue\n"), std::string::npos) << result.out;
}

TEST(HostScriptRun, ScriptsOwnGlobalsReplaceLibraryFunctions) {
  const auto result = run_tapline_script(
      "function print(...) io.write('mine:', select('#', ...), '\\n') end\n"
      "print(1, 2)\n"
      "function sleep() io.write('own sleep\\n') end\n"
      "sleep(100000)\n");
  EXPECT_EQ(script_output(result.out),
            "global:print\nglobal:select\nfield:write\nmine:2\n"
            "global:sleep\nfield:write\nown sleep\n");
}

TEST(HostScriptRun, SleepAcceptsAnyArgumentWithoutError) {
  // Negative, fractional, numeric-text, non-numeric and missing arguments all return.
  const auto result = run_tapline_script(
      "sleep(-5)\nsleep(1.9)\nsleep('2')\nsleep('abc')\nsleep({})\nsleep()\n"
      "printf('done\\n')\n");
  EXPECT_EQ(script_output(result.out),
            "global:sleep\nglobal:sleep\nglobal:sleep\nglobal:sleep\nglobal:sleep\n"
            "global:sleep\nglobal:printf\ndone\n");
}

TEST(HostScriptRun, SleepPausesExactlyAsDelayDoes) {
  tapline::testing::TestClock clock;
  tapline::testing::ScriptState script;
  for (const char* argument :
       {"1.9", "'15'", "", "{}", "-5", "4294967296 + 5", "2147483648", "1e300"}) {
    clock.take_sleeps();
    script.run(std::string("Delay(") + argument + ")");
    const std::vector<int64_t> delay = clock.take_sleeps();
    script.run(std::string("sleep(") + argument + ")");
    EXPECT_EQ(clock.take_sleeps(), delay) << "argument " << argument;
  }
  script.run("sleep(1.9) sleep(4294967296 + 5)");
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{1, 5}));
}

TEST(HostScriptRun, InterruptEndsTheRunWithoutLosingPrintedLines) {
  // The script interrupts its own process as ctrl+c would: the run stops at the next call
  // with the interrupt's status and no last line, yet every line printed before is there.
  const auto result = run_tapline_script(
      "local signal = io.popen('read go; kill -INT $PPID', 'w')\n"
      "printf('before\\n')\n"
      "signal:write('\\n')\n"
      "signal:close()\n"
      "printf('never\\n')\n");
  EXPECT_EQ(result.status, 130) << "ended by the signal";
  EXPECT_NE(result.out.find("global:printf\nbefore\nmethod:write\nmethod:close\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("never"), std::string::npos);
  EXPECT_EQ(result.out.find("运行结束"), std::string::npos);
}

TEST(HostScriptRun, DeepRecursionEndsAsARunTimeError) {
  // Stack overflow inside the script must not take the program down.
  const auto result = run_tapline_script("local function f() return 1 + f() end\nf()\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("运行结束\n"), std::string::npos);
}

}  // namespace
