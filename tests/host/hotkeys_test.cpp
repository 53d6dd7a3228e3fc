// Host keys and mouse buttons reach the callbacks of RegKbEvent and RegMouseEvent: a
// script run by the console program on a private Xvfb, with presses made through XTest.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "program_run.h"
#include "xvfb.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/keysym.h>

namespace {

using tapline::testing::ChildProcess;
using tapline::testing::FakeInput;
using tapline::testing::TempFile;
using Lines = std::vector<std::string>;

// Writes each event as the callbacks decode it; Escape coming up ends the run.
constexpr const char* kEchoScript = R"(
RegKbEvent(function(code, state)
  io.write("key ", code, " ", state, "\n") io.flush()
  if code == 0x1B and state == 0 then EndScript() end
end)
RegMouseEvent(function(entry)
  io.write("mouse ", entry // 65536, " ", entry % 65536, "\n") io.flush()
end)
io.write("ready\n") io.flush()
Loop()
)";

class Hotkeys : public tapline::testing::XvfbSuite {};

TEST_F(Hotkeys, HostKeysAndButtonsReachTheCallbacks) {
  TempFile script(kEchoScript);
  ChildProcess run({tapline::testing::tapline_binary(), script.path(), "net", "127.0.0.1", "9"});
  for (bool ok = true; ok;)
    if (run.out_line(ok) == "ready") break;

  FakeInput input(display_name());
  input.auto_repeat(100, 50);
  input.tap(XK_a);
  input.key(XK_Shift_R, true);
  input.tap(XK_KP_Home);  // the keypad's 7 key, named by its first level
  input.key(XK_Shift_R, false);
  input.key(XK_c, true);  // held long enough to repeat several times
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  input.key(XK_c, false);
  input.key(XK_Control_L, false);  // never seen going down: not posted
  input.move(10, 20);
  input.click(1);
  input.click(5);
  input.button(3, true);
  input.button(3, false);

  // Each Loop pass serves both queues, so keys and buttons interleave freely; the order
  // within each queue is kept. Escape, the end, goes once the last button has come.
  Lines keys, buttons;
  for (bool ok = true;;) {
    const std::string line = run.out_line(ok);
    if (!ok) break;
    if (line.rfind("key ", 0) == 0) keys.push_back(line);
    if (line.rfind("mouse ", 0) == 0) buttons.push_back(line);
    if (line == "mouse 3 0") input.tap(XK_Escape);
  }
  EXPECT_EQ(run.wait_exit_status(), 0);
  EXPECT_EQ(keys, (Lines{"key 65 1", "key 65 0", "key 161 1", "key 103 1", "key 103 0", "key 161 0",
                         "key 67 1", "key 67 0", "key 27 1", "key 27 0"}));
  EXPECT_EQ(buttons, (Lines{"mouse 1 1", "mouse 1 0", "mouse 5 1", "mouse 3 1", "mouse 3 0"}));
}

TEST(HotkeysWithoutADisplay, OneNoticeAndTheScriptGoesOn) {
  const auto result = tapline::testing::run_tapline_script(R"(
    RegKbEvent(function() end)
    RegMouseEvent(function() end)
    io.write("went on\n")
  )",
                                                           {"DISPLAY=", "TAPLINE_KEYS=x11"});
  EXPECT_NE(result.out.find("went on\n"), std::string::npos) << result.out;
  const std::string notice =
      "tapline: host key and mouse events are unavailable: no X11 display (DISPLAY is not "
      "set)\n";
  const size_t first = result.err.find(notice);
  ASSERT_NE(first, std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(notice, first + 1), std::string::npos) << result.err;
}

}  // namespace
