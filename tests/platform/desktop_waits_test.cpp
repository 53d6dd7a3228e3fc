// Waits on the desktop's peers end: a frozen compositor (SIGSTOP), a window manager that
// never answers and a clipboard owner that never finishes its text cost a call a few
// seconds and one line on standard error, and a stop signal ends such a wait at once with
// what the script held released.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "frame_receiver.h"
#include "program_run.h"
#include "sway.h"
#include "xvfb.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildProcess;
using tapline::testing::FrameReceiver;
using tapline::testing::SwayServer;
using tapline::testing::TempFile;
using tapline::testing::XvfbServer;
using Frame = std::vector<uint8_t>;
using std::chrono::steady_clock;

const Frame kKeyADown{0x2C, 0x08, 0x45, 0x41, 0, 0, 0x04, 0, 0, 0, 0, 0};
const Frame kKeysUp{0x2C, 0x08, 0x41, 0x41, 0, 0, 0, 0, 0, 0, 0, 0};

// The console program holding a key, then making `call`, sending to a receiver.
class HeldKeyRun {
 public:
  HeldKeyRun(const std::string& call, const std::vector<std::string>& environment)
      : script_("KeyDown('a')\n" + call + "\n"),
        process_({tapline::testing::tapline_binary(), script_.path(), "net", "127.0.0.1",
                  std::to_string(receiver_.port())},
                 options(environment)) {}

  // True once the key is down: the call follows at once.
  bool key_down() { return receiver_.next(10000) == kKeyADown; }
  void signal(int number) { kill(process_.pid(), number); }
  // The exit status once the program has ended within `bound` (a bound against a hang
  // only), the frames it sent meanwhile in `frames`; nullopt when it has not.
  std::optional<int> end_within(std::chrono::milliseconds bound, std::vector<Frame>& frames) {
    const auto deadline = steady_clock::now() + bound;
    while (steady_clock::now() < deadline) {
      for (Frame f = receiver_.next(10); !f.empty(); f = receiver_.next(0)) frames.push_back(f);
      if (const std::optional<int> status = process_.exit_status_if_ended()) {
        for (Frame f = receiver_.next(0); !f.empty(); f = receiver_.next(0)) frames.push_back(f);
        return status;
      }
    }
    return std::nullopt;
  }
  std::string errors() { return process_.rest_of_err(); }

 private:
  static ChildOptions options(const std::vector<std::string>& environment) {
    ChildOptions options;
    options.environment = environment;
    // The desktop is the test's alone: what `environment` does not name is left out.
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "I3SOCK", "DBUS_SESSION_BUS_ADDRESS"}) {
      const std::string prefix = std::string(name) + "=";
      if (std::none_of(environment.begin(), environment.end(),
                       [&](const std::string& entry) { return entry.starts_with(prefix); }))
        options.unset.push_back(name);
    }
    options.out = tapline::testing::ChildOutput::Discard;
    return options;
  }

  FrameReceiver receiver_;
  TempFile script_;
  ChildProcess process_;
};

int line_count(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A stopped compositor for the length of a test; continued before the server ends it.
class FrozenSway {
 public:
  explicit FrozenSway(SwayServer& sway) : sway_(sway) { kill(sway_.pid(), SIGSTOP); }
  ~FrozenSway() { kill(sway_.pid(), SIGCONT); }

 private:
  SwayServer& sway_;
};

class DesktopWaits : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = SwayServer::skip_reason(); !why.empty()) GTEST_SKIP() << why;
  }
};

const char* const kFrozenCalls[] = {"GetColor(10, 10)", "GetClipBoard()", "SetClipBoard('x')",
                                    "GetWindowPos('nothing')"};

TEST_F(DesktopWaits, ACallOnAFrozenCompositorFailsWithinItsBoundInOneLine) {
  SwayServer sway;
  std::vector<std::string> environment = sway.client_environment();
  FrozenSway frozen(sway);
  for (const char* call : kFrozenCalls) {
    SCOPED_TRACE(call);
    HeldKeyRun run(call, environment);
    ASSERT_TRUE(run.key_down());
    std::vector<Frame> frames;
    // Proves no hang: each wait has a bound of 5 s.
    EXPECT_TRUE(run.end_within(std::chrono::seconds(15), frames).has_value());
    const std::string errors = run.errors();
    EXPECT_EQ(line_count(errors), 1) << errors;
  }
}

TEST_F(DesktopWaits, AStopEndsAWaitOnAFrozenCompositorAtOnce) {
  SwayServer sway;
  std::vector<std::string> environment = sway.client_environment();
  FrozenSway frozen(sway);
  for (const char* call : kFrozenCalls) {
    SCOPED_TRACE(call);
    HeldKeyRun run(call, environment);
    ASSERT_TRUE(run.key_down());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the call's wait
    run.signal(SIGINT);
    std::vector<Frame> frames;
    // Proves the stop is not held up by the wait's own bound, not speed.
    EXPECT_EQ(run.end_within(std::chrono::seconds(3), frames), 130);
    EXPECT_EQ(frames, std::vector<Frame>{kKeysUp});
  }
}

// An owner that trickles its text, or sends it without end, on the desktop of
// `environment`.
void expect_unfinished_reads_bounded(const std::string& desktop,
                                     const std::vector<std::string>& environment) {
  struct Case {
    const char* mode;
    const char* cap;
    const char* line;
    bool stop_during_read;  // a capped endless read is over too soon to be stopped
  };
  for (const Case& c : {Case{"trickle", "", "did not give its text within 5000 ms", true},
                        Case{"endless", "1000000", "longer than 1000000 bytes", false}}) {
    SCOPED_TRACE(std::string(desktop) + " " + c.mode);
    ChildOptions owner_options;
    owner_options.environment = environment;
    owner_options.err = tapline::testing::ChildOutput::Discard;
    ChildProcess owner({TAPLINE_CLIPBOARD_OWNER, desktop, c.mode}, owner_options);
    ASSERT_EQ(owner.out_line(), "ready");
    std::vector<std::string> run_environment = environment;
    run_environment.push_back(std::string("TAPLINE_CLIPBOARD_MAX_BYTES=") + c.cap);
    {
      HeldKeyRun run("GetClipBoard()", run_environment);
      ASSERT_TRUE(run.key_down());
      std::vector<Frame> frames;
      // Proves no hang: the whole read has 5 s.
      EXPECT_TRUE(run.end_within(std::chrono::seconds(15), frames).has_value());
      const std::string errors = run.errors();
      EXPECT_EQ(line_count(errors), 1) << errors;
      EXPECT_NE(errors.find(c.line), std::string::npos) << errors;
    }
    if (!c.stop_during_read) continue;
    HeldKeyRun stopped("GetClipBoard()", run_environment);
    ASSERT_TRUE(stopped.key_down());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the read
    stopped.signal(SIGINT);
    std::vector<Frame> frames;
    // Proves the stop is not held up by the read's bound, not speed.
    EXPECT_EQ(stopped.end_within(std::chrono::seconds(3), frames), 130);
    EXPECT_EQ(frames, std::vector<Frame>{kKeysUp});
  }
}

TEST_F(DesktopWaits, AWaylandClipboardOwnerThatNeverFinishes) {
  SwayServer sway;
  expect_unfinished_reads_bounded("wayland", sway.client_environment());
}

TEST(DesktopWaitsX11, AnX11ClipboardOwnerThatNeverFinishes) {
  XvfbServer xvfb;
  expect_unfinished_reads_bounded("x11", {"DISPLAY=" + xvfb.name()});
}

}  // namespace
