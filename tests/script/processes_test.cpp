// RunApp and ShellExecute with real child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"
#include "script_state.h"
#include "system/process.h"

namespace {

using tapline::system::split_command_line;
using tapline::testing::eventually;
using Script = tapline::testing::ScriptState;

struct RunResult {
  std::string started;
  std::string output;
};

RunResult run_app(Script& script, const std::string& lua_argument) {
  const int count = script.run("return RunApp(" + lua_argument + ")");
  RunResult result;
  if (count == 2) {
    lua_State* L = script.get();
    result.started = lua_isboolean(L, -2) ? (lua_toboolean(L, -2) ? "true" : "false") : "?";
    size_t length = 0;
    const char* text = lua_tolstring(L, -1, &length);
    result.output = text ? std::string(text, length) : "<not text>";
  }
  lua_pop(script.get(), count);
  return result;
}

// Every child that RunApp started has been reaped: the test has no children left.
bool no_children_left() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(RunApp, LinesComeBackWithCrLf) {
  Script script;
  const RunResult result = run_app(script, R"('printf "a\nb"')");
  EXPECT_EQ(result.started, "true");
  EXPECT_EQ(result.output, "a\r\nb\r\n");
  EXPECT_TRUE(no_children_left());
}

TEST(RunApp, EveryKindOfLineEndBecomesCrLf) {
  Script script;
  EXPECT_EQ(run_app(script, R"('printf "x\r\ny\rz\n\nw\n"')").output, "x\r\ny\r\nz\r\n\r\nw\r\n");
}

TEST(RunApp, EmptyOutputIsAnEmptyText) {
  Script script;
  const RunResult result = run_app(script, "'true'");
  EXPECT_EQ(result.started, "true");
  EXPECT_EQ(result.output, "");
}

TEST(RunApp, AZeroByteEndsTheText) {
  Script script;
  EXPECT_EQ(run_app(script, R"([[printf "ab\000cd\n"]])").output, "ab\r\n");
}

TEST(RunApp, AProgramThatFailsStillGivesTrueAndItsOutput) {
  Script script;
  const RunResult result = run_app(script, R"('sh -c "echo out; echo err >&2; exit 3"')");
  EXPECT_EQ(result.started, "true");
  EXPECT_EQ(result.output, "out\r\nerr\r\n");  // both streams, in order
  EXPECT_TRUE(no_children_left());
}

TEST(RunApp, AProgramThatCannotStartGivesFalseAndNothing) {
  Script script;
  ::testing::internal::CaptureStderr();
  const RunResult missing = run_app(script, "'tapline-test-no-such-program --flag'");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(missing.started, "false");
  EXPECT_EQ(missing.output, "");
  EXPECT_NE(err.find("tapline-test-no-such-program"), std::string::npos) << err;

  EXPECT_EQ(run_app(script, "").started, "false");
  EXPECT_EQ(run_app(script, "''").started, "false");
  EXPECT_EQ(run_app(script, "'   '").started, "false");
  EXPECT_EQ(run_app(script, R"('echo "open')").started, "false");
  EXPECT_TRUE(no_children_left());
}

TEST(RunApp, WordsAreSplitLikeAShellWithoutSubstitutions) {
  Script script;
  const RunResult result =
      run_app(script, R"([[printf '%s|' "a b" c\ d 'e"f' "g\"h" '$HOME' $(id) * ""]])");
  EXPECT_EQ(result.output, "a b|c d|e\"f|g\"h|$HOME|$(id)|*||\r\n");
}

TEST(RunApp, StandardInputIsEmpty) {
  Script script;
  const RunResult result = run_app(script, "'cat'");
  EXPECT_EQ(result.started, "true");
  EXPECT_EQ(result.output, "");
}

TEST(RunApp, LargeOutputIsReadWhole) {
  Script script;
  const RunResult result = run_app(script, R"([[sh -c "head -c 300000 /dev/zero | tr '\0' x"]])");
  ASSERT_EQ(result.output.size(), 300002u);
  EXPECT_EQ(result.output.find_first_not_of('x'), 300000u);
}

TEST(RunApp, ADaemonLeftHoldingTheOutputDoesNotHoldTheScript) {
  Script script;
  const RunResult result = run_app(script, R"('sh -c "sleep 60 & echo $!; echo started"')");
  EXPECT_EQ(result.started, "true");
  std::istringstream lines(result.output);
  pid_t daemon = 0;
  std::string rest;
  lines >> daemon;
  std::getline(lines, rest);
  ASSERT_GT(daemon, 0) << result.output;
  EXPECT_EQ(result.output.substr(result.output.find('\n') + 1), "started\r\n");
  EXPECT_TRUE(no_children_left());
  EXPECT_EQ(kill(daemon, SIGKILL), 0);  // it was still running, holding the pipe
}

TEST(RunApp, ABackgroundWriterIsReadUntilThePipeIsIdle) {
  Script script;
  const RunResult result = run_app(script, R"('sh -c "(sleep 0.5; echo late) & echo early"')");
  EXPECT_EQ(result.output, "early\r\nlate\r\n");
}

// Each passed descriptor arrives at its place even when it sits where another one goes:
// here the first one passed is descriptor 4 and the second is descriptor 3.
TEST(StartInSession, PassedDescriptorsArriveInOrderWhereverTheyWere) {
  int first[2], second[2];
  ASSERT_EQ(pipe2(first, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(second, O_CLOEXEC), 0);
  const int saved[] = {fcntl(3, F_DUPFD_CLOEXEC, 100), fcntl(4, F_DUPFD_CLOEXEC, 100)};
  const int first_end = fcntl(first[1], F_DUPFD_CLOEXEC, 100);
  const int second_end = fcntl(second[1], F_DUPFD_CLOEXEC, 100);
  close(first[1]);
  close(second[1]);
  ASSERT_EQ(dup3(first_end, 4, O_CLOEXEC), 4);
  ASSERT_EQ(dup3(second_end, 3, O_CLOEXEC), 3);
  const int passed[] = {4, 3};
  int error = 0;
  const pid_t child = tapline::system::start_in_session(
      "/bin/sh", {"sh", "-c", "printf first >&3; printf second >&4"}, passed, error);
  for (const int fd : {3, 4, first_end, second_end}) close(fd);
  for (int i = 0; i < 2; ++i)
    if (saved[i] >= 0) dup3(saved[i], 3 + i, O_CLOEXEC), close(saved[i]);
  ASSERT_GT(child, 0) << std::strerror(error);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  char got[16] = {};
  EXPECT_EQ(read(first[0], got, sizeof got), 5);
  EXPECT_STREQ(got, "first");
  EXPECT_EQ(read(second[0], got, sizeof got), 6);
  EXPECT_STREQ(got, "second");
  close(first[0]);
  close(second[0]);
}

TEST(SplitCommandLine, QuotesAndBackslashes) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(split_command_line("  a\tb \n c  "), (Words{"a", "b", "c"}));
  EXPECT_EQ(split_command_line(R"(a\\b "x\y" "\$" 'it''s')"), (Words{"a\\b", "x\\y", "$", "its"}));
  EXPECT_EQ(split_command_line("a\\\nb"), (Words{"ab"}));
  EXPECT_EQ(split_command_line(R"(tail\)"), (Words{"tail\\"}));
  EXPECT_EQ(split_command_line(""), Words{});
  EXPECT_FALSE(split_command_line("'open"));
  EXPECT_FALSE(split_command_line("\"open\\\""));
}

// A stand-in for the desktop's opener, found first on PATH, that records its argument and
// the session it runs in.
class FakeOpener : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tapline-opener-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    record_ = dir_ + "/opened";
    const std::string script = dir_ + "/xdg-open";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "set -- \"$1\" $(cat /proc/$$/stat)\n"
                          << "printf '%s\\n%s\\n%s\\n' \"$1\" \"$2\" \"$7\" > '" << record_
                          << ".tmp'\n"
                          << "mv '" << record_ << ".tmp' '" << record_ << "'\n";
    chmod(script.c_str(), 0755);
    old_path_ = std::getenv("PATH");
    setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    std::remove(record_.c_str());
    std::remove((dir_ + "/xdg-open").c_str());
    rmdir(dir_.c_str());
  }
  std::string record() {
    std::ifstream file(record_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  std::string dir_, record_, old_path_;
};

TEST_F(FakeOpener, ShellExecuteOpensTheTargetInASessionOfItsOwn) {
  Script script;
  script.run("ShellExecute('https://example.invalid/a b?c=1')");
  ASSERT_TRUE(eventually([&] { return !record().empty(); }));
  std::istringstream lines(record());
  std::string target, pid, session;
  std::getline(lines, target);
  std::getline(lines, pid);
  std::getline(lines, session);
  EXPECT_EQ(target, "https://example.invalid/a b?c=1");
  EXPECT_EQ(pid, session);  // the opener leads its own session
  EXPECT_NE(session, std::to_string(getsid(0)));
}

TEST_F(FakeOpener, ShellExecuteWithoutAnOpenerSaysSo) {
  setenv("PATH", "/nonexistent-tapline-dir", 1);
  Script script;
  ::testing::internal::CaptureStderr();
  script.run("ShellExecute('file.txt')");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ShellExecute: cannot start xdg-open"), std::string::npos) << err;
}

TEST(ShellExecute, WithoutATargetNothingIsStarted) {
  Script script;
  ::testing::internal::CaptureStderr();
  script.run("ShellExecute()");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ShellExecute: nothing to open\n");
  EXPECT_TRUE(no_children_left());
}

}  // namespace
