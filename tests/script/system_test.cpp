// Add, the pauses, the message boxes and the terminal bell.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "program_run.h"
#include "script_state.h"
#include "test_clock.h"

namespace {

using Script = tapline::testing::ScriptState;

class SleepsRecorded : public ::testing::Test {
 protected:
  std::vector<int64_t> sleeps_of(const std::string& code) {
    clock.take_sleeps();
    script.run(code);
    return clock.take_sleeps();
  }
  tapline::testing::TestClock clock;
  Script script;
};

TEST(Add, AddsTwoNumbersCutToIntegers) {
  Script script;
  EXPECT_EQ(script.integer("return Add(2.9, 3.9)"), 5);
  EXPECT_EQ(script.integer("return Add('4', 5)"), 9);
  EXPECT_EQ(script.integer("return Add(-2.9, 1)"), -1);
}

TEST(Add, AnythingButTwoNumbersGivesZero) {
  Script script;
  EXPECT_EQ(script.integer("return Add(1)"), 0);
  EXPECT_EQ(script.integer("return Add()"), 0);
  EXPECT_EQ(script.integer("return Add(1, 2, 3)"), 0);
  EXPECT_EQ(script.integer("return Add('x', 1)"), 0);
  EXPECT_EQ(script.integer("return Add(1, nil)"), 0);
  EXPECT_EQ(script.integer("return Add({}, 1)"), 0);
}

TEST(Add, WrapsAtThirtyTwoBits) {
  Script script;
  EXPECT_EQ(script.integer("return Add(2147483647, 1)"), -2147483648LL);
  EXPECT_EQ(script.integer("return Add(-2147483648, -1)"), 2147483647);
  EXPECT_EQ(script.integer("return Add(4294967296 + 5, 1)"), 6);
  EXPECT_EQ(script.integer("return Add(1e300, 0)"), -1);  // clamped to 2^63 - 1, then cut
}

TEST_F(SleepsRecorded, DelaySleepsItsArgumentCutToAnInteger) {
  EXPECT_EQ(sleeps_of("Delay(2.9)"), std::vector<int64_t>{2});
  EXPECT_EQ(sleeps_of("Delay('15')"), std::vector<int64_t>{15});
  EXPECT_EQ(sleeps_of("Delay()"), std::vector<int64_t>{0});
  EXPECT_EQ(sleeps_of("Delay({})"), std::vector<int64_t>{0});
  EXPECT_EQ(sleeps_of("Delay(-5)"), std::vector<int64_t>{0});
}

TEST_F(SleepsRecorded, DelayRandomWithAnEmptyOrSingleRange) {
  EXPECT_EQ(sleeps_of("DelayRandom(100, 100)"), std::vector<int64_t>{100});
  EXPECT_EQ(sleeps_of("DelayRandom()"), std::vector<int64_t>{0});
  EXPECT_EQ(sleeps_of("DelayRandom(200, 100)"), std::vector<int64_t>{200});
  EXPECT_EQ(sleeps_of("DelayRandom(-50, -10)"), std::vector<int64_t>{0});
}

TEST_F(SleepsRecorded, DelayRandomCoversItsRangeAndNothingElse) {
  const std::vector<int64_t> sleeps = sleeps_of("for i = 1, 2000 do DelayRandom(10, 20) end");
  ASSERT_EQ(sleeps.size(), 2000u);
  bool seen[11] = {};
  for (int64_t ms : sleeps) {
    ASSERT_GE(ms, 10);
    ASSERT_LE(ms, 20);
    seen[ms - 10] = true;
  }
  for (bool value_seen : seen) EXPECT_TRUE(value_seen);
}

TEST_F(SleepsRecorded, DelayRandomDrawsFromZeroTo32767Only) {
  const std::vector<int64_t> sleeps =
      sleeps_of("for i = 1, 2000 do DelayRandom(1000, 1000000) end");
  int64_t highest = 0;
  for (int64_t ms : sleeps) {
    ASSERT_GE(ms, 1000);
    highest = std::max(highest, ms);
  }
  EXPECT_LE(highest, 1000 + 32767);
  EXPECT_GT(highest, 1000 + 30000);  // the draws do spread over the whole range
}

TEST(MessageBox, MsgBoxShowsItsTextOnStandardErrorAndGoesOnWithoutATerminal) {
  Script script;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  script.run("MsgBox('Saved \\xE2\\x9C\\x93')");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(err, "Saved \xE2\x9C\x93\n[OK]\n");
}

TEST(MessageBox, HelloWorldHasACaption) {
  Script script;
  ::testing::internal::CaptureStderr();
  script.run("HelloWorld()");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[ Tapline ]\nHello World!!!\n[OK]\n");
}

TEST(MessageBox, MsgBoxWithoutTextShowsAnEmptyBox) {
  Script script;
  ::testing::internal::CaptureStderr();
  script.run("MsgBox()  MsgBox({})");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\n[OK]\n\n[OK]\n");
}

// Reads from the terminal's master side until `marker` has arrived.
bool read_until(int master, const std::string& marker, std::string& seen) {
  char buffer[256];
  pollfd ready{master, POLLIN, 0};
  while (seen.find(marker) == std::string::npos) {
    if (poll(&ready, 1, 10000) != 1) return false;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

TEST(MessageBox, OnATerminalTheScriptWaitsForEnter) {
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    {
      Script script;
      luaL_dostring(script.get(), "MsgBox('continue?') io.write('after the box\\n')");
    }
    std::fflush(stdout);
    _exit(0);
  }
  std::string seen;
  ASSERT_TRUE(read_until(master, "press Enter", seen)) << seen;
  EXPECT_NE(seen.find("continue?"), std::string::npos);
  // The box is still open: the script has not gone on.
  EXPECT_EQ(seen.find("after the box"), std::string::npos);
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0);
  ASSERT_EQ(write(master, "\n", 1), 1);
  EXPECT_TRUE(read_until(master, "after the box", seen)) << seen;
  int status = -1;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(master);
}

TEST(Beep, WithoutADisplayRingsTheTerminalBell) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    unsetenv("DISPLAY");
    dup2(err[1], STDERR_FILENO);
    {
      Script script;
      luaL_dostring(script.get(), "beep()");
    }
    _exit(0);
  }
  close(err[1]);
  std::string output;
  char buffer[256];
  ssize_t n;
  while ((n = read(err[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
  close(err[0]);
  waitpid(child, nullptr, 0);
  EXPECT_NE(output.find('\a'), std::string::npos) << output;
}

}  // namespace
