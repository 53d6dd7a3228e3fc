// Stopping a run with SIGINT or SIGTERM leaves nothing held on the target: the console
// program sends the release reports for whatever the script left held, then ends with
// 128 + the signal. The frames are received as the device would receive them over UDP.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "frame_receiver.h"
#include "program_run.h"
#include "xvfb.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::FrameReceiver;
using tapline::testing::TempFile;
using Frame = std::vector<uint8_t>;

// Only a bound against a hang: every wait ends as soon as its frames or exit arrive.
constexpr int kPatienceMs = 30000;

// A frame on channel 1: header, length, checksum, type byte, report.
Frame frame_of(uint8_t report_type, const std::vector<uint8_t>& report) {
  const auto type_byte = static_cast<uint8_t>(0x40 | report_type);
  uint8_t checksum = type_byte;
  for (uint8_t byte : report) checksum = static_cast<uint8_t>(checksum + byte);
  Frame frame{0x2C, static_cast<uint8_t>(report.size()), checksum, type_byte};
  frame.insert(frame.end(), report.begin(), report.end());
  return frame;
}

const Frame kKeyADown{0x2C, 0x08, 0x45, 0x41, 0, 0, 0x04, 0, 0, 0, 0, 0};
const Frame kKeysUp{0x2C, 0x08, 0x41, 0x41, 0, 0, 0, 0, 0, 0, 0, 0};
const Frame kLeftDown{0x2C, 0x07, 0x46, 0x45, 0x01, 0, 0, 0, 0, 0, 0};
const Frame kNoButtons{0x2C, 0x07, 0x45, 0x45, 0, 0, 0, 0, 0, 0, 0};

// The console program running a script, sending to the receiver.
class ScriptRun {
 public:
  ScriptRun(const std::string& script, int port, const std::string& display = "")
      : file_(script),
        process_({tapline::testing::tapline_binary(), file_.path(), "net", "127.0.0.1",
                  std::to_string(port)},
                 options(display)) {}

  // To the whole group, as a terminal sends ctrl+c: programs the script started get it too.
  void signal(int number) { process_.signal(number); }
  // To the console program alone, as `kill PID` sends it.
  void signal_program(int number) { kill(process_.pid(), number); }

  // Collects frames until the program has exited; its exit status, -1 when it did not
  // exit normally or not in time.
  int wait_collecting(FrameReceiver& receiver, std::vector<Frame>& frames) {
    for (int waited = 0; waited < kPatienceMs; waited += 10) {
      for (Frame f = receiver.next(10); !f.empty(); f = receiver.next(0)) frames.push_back(f);
      if (const std::optional<int> status = process_.exit_status_if_ended()) {
        // Everything sent before the exit is in the socket's queue already.
        for (Frame f = receiver.next(0); !f.empty(); f = receiver.next(0)) frames.push_back(f);
        return *status;
      }
    }
    return -1;
  }

 private:
  static ChildOptions options(const std::string& display) {
    ChildOptions options;
    options.out = ChildOutput::Discard;
    options.err = ChildOutput::Discard;
    options.own_process_group = true;  // as a terminal's foreground job
    if (display.empty())
      options.unset = {"DISPLAY"};
    else
      options.environment = {"DISPLAY=" + display};
    return options;
  }

  TempFile file_;
  ChildProcess process_;
};

// Waits for the script's first `count` frames.
std::vector<Frame> first_frames(FrameReceiver& receiver, size_t count) {
  std::vector<Frame> frames;
  while (frames.size() < count) {
    Frame frame = receiver.next(kPatienceMs);
    if (frame.empty()) break;
    frames.push_back(frame);
  }
  return frames;
}

struct StopCase {
  const char* name;
  const char* script;
  int signal;
};

class SafeStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(SafeStopTest, HeldKeyIsReleasedAndTheStatusTellsTheSignal) {
  FrameReceiver receiver;
  ScriptRun run(GetParam().script, receiver.port());
  ASSERT_EQ(first_frames(receiver, 1), std::vector<Frame>{kKeyADown});
  run.signal(GetParam().signal);
  std::vector<Frame> after;
  EXPECT_EQ(run.wait_collecting(receiver, after), 128 + GetParam().signal);
  // The timers of Loop may still have sent their own frames before the stop was seen;
  // the last frame is the release.
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), kKeysUp);
}

INSTANTIATE_TEST_SUITE_P(
    WhereverTheScriptIs, SafeStopTest,
    ::testing::Values(
        StopCase{"Sleeping", "KeyDown('a')\nsleep(3600000)\n", SIGINT},
        StopCase{"SleepingTerminated", "KeyDown('a')\nsleep(3600000)\n", SIGTERM},
        StopCase{"Computing", "KeyDown('a')\nlocal n = 0\nwhile true do n = n + 1 end\n", SIGINT},
        StopCase{"ComputingInsidePcall",
                 "KeyDown('a')\nwhile true do pcall(function() while true do end end) end\n",
                 SIGTERM},
        StopCase{"InLoopWithEndlessTimers",
                 "KeyDown('a')\nfor i = 1, 100 do TimerLoopStart(function() end, 0) end\nLoop()\n",
                 SIGINT},
        StopCase{"CallingFunctions", "KeyDown('a')\nwhile true do MsgBox('x') end\n", SIGINT},
        StopCase{"RunningAProgram", "KeyDown('a')\nRunApp('sleep 3600')\n", SIGTERM}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SafeStop, EverythingHeldIsReleasedOnce) {
  FrameReceiver receiver;
  ScriptRun run(
      "KeyDown('a')\nLeftDown()\nTouch(1, 3, 540, 1204)\nhid_cmd('key:down,b')\n"
      "sleep(3600000)\n",
      receiver.port());
  const std::vector<Frame> pressed = first_frames(receiver, 4);
  ASSERT_EQ(pressed.size(), 4u);
  EXPECT_EQ(pressed[0], kKeyADown);
  EXPECT_EQ(pressed[1], kLeftDown);
  run.signal(SIGINT);
  std::vector<Frame> after;
  EXPECT_EQ(run.wait_collecting(receiver, after), 130);
  // The contact is lifted where it was.
  const Frame touch_lift =
      frame_of(7, {0, 3, pressed[2][6], pressed[2][7], pressed[2][8], pressed[2][9]});
  // One keyboard release covers both keys (the last keyboard report held a and b).
  EXPECT_EQ(after, (std::vector<Frame>{kKeysUp, kNoButtons, touch_lift}));
}

TEST(SafeStop, WaitingForAServerThatNeverAnswers) {
  // A listening socket whose connections are never served: the request waits for ever.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  const TempFile download("", "download.txt");
  for (const std::string& call :
       {"Curl('" + url + "')", "HttpGet('" + url + "', '" + download.path() + "')"}) {
    SCOPED_TRACE(call);
    FrameReceiver receiver;
    ScriptRun run("KeyDown('a')\n" + call + "\n", receiver.port());
    ASSERT_EQ(first_frames(receiver, 1), std::vector<Frame>{kKeyADown});
    run.signal(SIGINT);
    std::vector<Frame> after;
    EXPECT_EQ(run.wait_collecting(receiver, after), 130);
    EXPECT_EQ(after, std::vector<Frame>{kKeysUp});
  }
  close(listener);
}

TEST(SafeStop, TheProgramRunAppStartedEndsWithEverythingItStarted) {
  // The program and the one it started in the background write their process ids.
  const TempFile pids("", "pids");
  FrameReceiver receiver;
  ScriptRun run(
      "KeyDown('a')\nRunApp([[sh -c 'sleep 3600 & echo $$ $! > " + pids.path() + "; wait']])\n",
      receiver.port());
  ASSERT_EQ(first_frames(receiver, 1), std::vector<Frame>{kKeyADown});
  pid_t shell = 0, sleeper = 0;
  for (int waited = 0; waited < kPatienceMs && sleeper == 0; waited += 10) {
    std::ifstream(pids.path()) >> shell >> sleeper;
    if (sleeper == 0) usleep(10000);
  }
  ASSERT_GT(sleeper, 0);
  run.signal_program(SIGTERM);
  std::vector<Frame> after;
  EXPECT_EQ(run.wait_collecting(receiver, after), 143);
  EXPECT_EQ(after, std::vector<Frame>{kKeysUp});
  // Both are gone (or, reparented, at most waiting to be reaped).
  for (const pid_t pid : {shell, sleeper}) {
    bool gone = false;
    for (int waited = 0; waited < kPatienceMs && !gone; waited += 10) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string skip, state;
      gone = !(stat >> skip >> skip >> state) || state == "Z";
      if (!gone) usleep(10000);
    }
    EXPECT_TRUE(gone) << pid;
    if (!gone) kill(pid, SIGKILL);
  }
}

TEST(SafeStop, WaitingForAHostKeyWithoutTimeOut) {
  tapline::testing::XvfbServer xvfb("320x200x24");
  FrameReceiver receiver;
  ScriptRun run("KeyDown('a')\nWaitKey(65)\n", receiver.port(), xvfb.name());
  ASSERT_EQ(first_frames(receiver, 1), std::vector<Frame>{kKeyADown});
  run.signal(SIGINT);
  std::vector<Frame> after;
  EXPECT_EQ(run.wait_collecting(receiver, after), 130);
  EXPECT_EQ(after, std::vector<Frame>{kKeysUp});
}

TEST(SafeStop, ANormalEndSendsNothingExtra) {
  FrameReceiver receiver;
  ScriptRun run("KeyDown('a')\n", receiver.port());
  std::vector<Frame> frames;
  EXPECT_EQ(run.wait_collecting(receiver, frames), 0);
  // The key stays held, as the script asked.
  EXPECT_EQ(frames, std::vector<Frame>{kKeyADown});
}

TEST(SafeStop, ARunTimeErrorIsSaidAndReleasesWhatIsHeld) {
  // Inside a timer of Loop, with a key down: the error leaves the script there.
  FrameReceiver receiver;
  TempFile script(
      "KeyDown('a')\nTimerStart(function() local t = nil; return t.field end, 0)\nLoop()\n");
  const tapline::testing::ProgramResult result = tapline::testing::run_program(
      tapline::testing::tapline_binary(),
      {script.path(), "net", "127.0.0.1", std::to_string(receiver.port())});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("运行结束\n"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("attempt to index a nil value (local 't')"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("stack traceback:"), std::string::npos) << result.err;
  std::vector<Frame> frames;
  for (Frame f = receiver.next(0); !f.empty(); f = receiver.next(0)) frames.push_back(f);
  EXPECT_EQ(frames, (std::vector<Frame>{kKeyADown, kKeysUp}));
}

TEST(SafeStop, AnAllocationFailureIsAScriptErrorNotAnAbort) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
  // RunApp's output outgrows the address space the run may use.
  FrameReceiver receiver;
  TempFile script("KeyDown('a')\nRunApp('head -c 1000000000 /dev/zero')\n");
  const tapline::testing::ProgramResult result = tapline::testing::run_program(
      "/bin/bash", {"-c", "ulimit -v 400000; exec \"$0\" \"$@\"",
                    tapline::testing::tapline_binary(), script.path(), "net", "127.0.0.1",
                    std::to_string(receiver.port())});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("RunApp: not enough memory"), std::string::npos) << result.err;
  std::vector<Frame> frames;
  for (Frame f = receiver.next(0); !f.empty(); f = receiver.next(0)) frames.push_back(f);
  EXPECT_EQ(frames, (std::vector<Frame>{kKeyADown, kKeysUp}));
}

TEST(SafeStop, EveryTerminatingSignalReleases) {
  for (const int signal : {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ}) {
    SCOPED_TRACE(strsignal(signal));
    FrameReceiver receiver;
    ScriptRun run("KeyDown('a')\nsleep(3600000)\n", receiver.port());
    ASSERT_EQ(first_frames(receiver, 1), std::vector<Frame>{kKeyADown});
    run.signal(signal);
    std::vector<Frame> after;
    EXPECT_EQ(run.wait_collecting(receiver, after), 128 + signal);
    EXPECT_EQ(after, std::vector<Frame>{kKeysUp});
  }
}

TEST(SafeStop, AReaderThatGoesAwayEndsTheRunSafely) {
  // `tapline p.lua | head -6`: the echo of the calls fills the lines head takes, then the
  // next write meets a closed pipe in the middle of the chord.
  FrameReceiver receiver;
  TempFile script("KeyDown('LShift')\nfor i = 1, 20 do KeyPress('a') end\nKeyUp('LShift')\n");
  const tapline::testing::ProgramResult result = tapline::testing::run_program(
      "/bin/bash", {"-c", "\"$0\" \"$@\" | head -n 6 >/dev/null; exit ${PIPESTATUS[0]}",
                    tapline::testing::tapline_binary(), script.path(), "net", "127.0.0.1",
                    std::to_string(receiver.port())});
  EXPECT_EQ(result.status, 128 + SIGPIPE) << result.err;
  EXPECT_NE(result.err.find("stopped by SIGPIPE"), std::string::npos) << result.err;
  std::vector<Frame> frames;
  for (Frame f = receiver.next(0); !f.empty(); f = receiver.next(0)) frames.push_back(f);
  ASSERT_GT(frames.size(), 1u);
  EXPECT_LT(frames.size(), 40u);  // it did not run to its end
  EXPECT_EQ(frames.back(), kKeysUp);
}

TEST(SafeStop, AStopWithNothingHeldSendsNothing) {
  FrameReceiver receiver;
  ScriptRun run("KeyPress('a')\nsleep(3600000)\n", receiver.port());
  ASSERT_EQ(first_frames(receiver, 2), (std::vector<Frame>{kKeyADown, kKeysUp}));
  run.signal(SIGTERM);
  std::vector<Frame> after;
  EXPECT_EQ(run.wait_collecting(receiver, after), 143);
  EXPECT_TRUE(after.empty());
}

}  // namespace
