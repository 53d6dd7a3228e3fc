// A script stopped with ctrl+c leaves nothing held on the software device, which stands
// for the target: the device's summary lists what is still held when it stops.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "program_run.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::TempFile;

// Neither program may reach a desktop; the console program's output is not looked at.
ChildOptions without_display(ChildOutput output) {
  ChildOptions options;
  options.unset = {"DISPLAY"};
  options.out = output;
  options.err = output;
  return options;
}

// The software device on a free loopback port, its text lines read as they come.
class SoftwareDevice {
 public:
  SoftwareDevice()
      : process_(tapline::testing::device_binary(), {}, without_display(ChildOutput::Pipe)) {}

  int port() const { return process_.port(); }
  // The lines read so far.
  const std::vector<std::string>& lines() const { return lines_; }
  // Waits until the device has printed `count` lines.
  bool wait_for_lines(size_t count) {
    bool ok = true;
    while (ok && lines_.size() < count) {
      std::string line = process_.out_line(ok);
      if (ok) lines_.push_back(line);
    }
    return ok;
  }
  // Stops the device; its summary lines.
  std::vector<std::string> summary() {
    process_.signal(SIGTERM);
    std::istringstream rest(process_.rest_of_out());
    for (std::string line; std::getline(rest, line);) lines_.push_back(line);
    EXPECT_EQ(process_.wait_exit_status(), 0);
    std::vector<std::string> result;
    bool in_summary = false;
    for (const std::string& line : lines_) {
      in_summary = in_summary || line.rfind("summary:", 0) == 0;
      if (in_summary) result.push_back(line);
    }
    return result;
  }

 private:
  tapline::testing::ListeningDevice process_;
  std::vector<std::string> lines_;
};

// The console program running `script` against the device, its output discarded.
class ScriptRun : public ChildProcess {
 public:
  ScriptRun(const TempFile& script, int port)
      : ChildProcess({tapline::testing::tapline_binary(), script.path(), "net", "127.0.0.1",
                      std::to_string(port)},
                     without_display(ChildOutput::Discard)) {}
};

std::string joined(const std::vector<std::string>& lines) {
  std::ostringstream text;
  for (const std::string& line : lines) text << line << '\n';
  return text.str();
}

constexpr const char* kHoldingScript =
    "KeyDown('LShift')\nKeyDown('a')\nLeftDown()\nRightDown()\nTouch(1, 2, 540, 1204)\n"
    "hid_cmd('consumer:value,0xE9')\nsleep(3600000)\n";

TEST(DeviceSafeStop, InterruptedScriptLeavesNothingHeld) {
  SoftwareDevice device;
  ASSERT_GT(device.port(), 0);
  TempFile script(kHoldingScript);
  ScriptRun run(script, device.port());
  // Shift, a, left, right, the contact, the consumer key and its release.
  ASSERT_TRUE(device.wait_for_lines(7)) << joined(device.lines());
  run.signal(SIGINT);
  EXPECT_EQ(run.wait_exit_status(), 130);
  const std::vector<std::string> summary = device.summary();
  ASSERT_FALSE(summary.empty()) << joined(device.lines());
  EXPECT_EQ(summary[0], "summary: 10 frames, 0 bad frames") << joined(device.lines());
  EXPECT_EQ(joined(summary).find("still held"), std::string::npos) << joined(device.lines());
}

TEST(DeviceSafeStop, TerminatedScriptLeavesNothingHeld) {
  SoftwareDevice device;
  ASSERT_GT(device.port(), 0);
  TempFile script("KeyDown('Ctrl')\nKeyDown('c')\nwhile true do end\n");
  ScriptRun run(script, device.port());
  ASSERT_TRUE(device.wait_for_lines(2)) << joined(device.lines());
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait_exit_status(), 143);
  const std::vector<std::string> summary = device.summary();
  EXPECT_EQ(joined(summary).find("still held"), std::string::npos) << joined(device.lines());
}

TEST(DeviceSafeStop, ANormalEndLeavesWhatTheScriptHeld) {
  // Only a stop releases held input: a script that ends with keys down leaves them down.
  SoftwareDevice device;
  ASSERT_GT(device.port(), 0);
  TempFile script("KeyDown('a')\n");
  ScriptRun run(script, device.port());
  EXPECT_EQ(run.wait_exit_status(), 0);
  ASSERT_TRUE(device.wait_for_lines(1));
  const std::vector<std::string> summary = device.summary();
  EXPECT_NE(joined(summary).find("still held on ch1: keys a"), std::string::npos)
      << joined(device.lines());
}

}  // namespace
