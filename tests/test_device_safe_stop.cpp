// A script stopped with ctrl+c leaves nothing held on the software device, which stands
// for the target: the device's summary lists what is still held when it stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

using tapline::testing::TempFile;

const std::string kDevice = std::string(TAPLINE_BINARY_DIR) + "/tools/device/tapline-device";
const std::string kTapline = std::string(TAPLINE_BINARY_DIR) + "/tapline";
// Only a bound against a hang: every wait ends as soon as what it waits for happens.
constexpr int kPatienceMs = 30000;

pid_t spawn(const std::vector<std::string>& args, int out_fd, int err_fd) {
  std::vector<std::string> words = args;
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(out_fd >= 0 ? out_fd : null_fd, 1);
    dup2(err_fd >= 0 ? err_fd : null_fd, 2);
    unsetenv("DISPLAY");
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int exit_status(pid_t pid) {
  int status = 0;
  for (int waited = 0; waited < kPatienceMs; waited += 5) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(5000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// The software device on a free loopback port, its text lines going to a file.
class SoftwareDevice {
 public:
  SoftwareDevice() : output_("", "device.out") {
    int err[2];
    if (pipe(err) != 0) return;
    const int out = open(output_.path().c_str(), O_WRONLY | O_TRUNC);
    pid_ = spawn({kDevice, "--listen", "127.0.0.1:0"}, out, err[1]);
    close(out);
    close(err[1]);
    std::string line;
    char c = 0;
    pollfd ready{err[0], POLLIN, 0};
    while (poll(&ready, 1, kPatienceMs) == 1 && read(err[0], &c, 1) == 1 && c != '\n') line += c;
    close(err[0]);
    const size_t colon = line.rfind(':');
    if (colon != std::string::npos) port_ = std::stoi(line.substr(colon + 1));
  }
  ~SoftwareDevice() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  int port() const { return port_; }
  // The lines printed so far.
  std::vector<std::string> lines() const {
    std::ifstream in(output_.path());
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
  // Waits until the device has printed `count` lines.
  bool wait_for_lines(size_t count) const {
    for (int waited = 0; waited < kPatienceMs; waited += 5) {
      if (lines().size() >= count) return true;
      usleep(5000);
    }
    return false;
  }
  // Stops the device; its summary lines.
  std::vector<std::string> summary() {
    kill(pid_, SIGTERM);
    EXPECT_EQ(exit_status(pid_), 0);
    pid_ = -1;
    std::vector<std::string> all = lines();
    std::vector<std::string> result;
    bool in_summary = false;
    for (const std::string& line : all) {
      in_summary = in_summary || line.rfind("summary:", 0) == 0;
      if (in_summary) result.push_back(line);
    }
    return result;
  }

 private:
  TempFile output_;
  pid_t pid_ = -1;
  int port_ = 0;
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
  const pid_t run =
      spawn({kTapline, script.path(), "net", "127.0.0.1", std::to_string(device.port())}, -1, -1);
  // Shift, a, left, right, the contact, the consumer key and its release.
  ASSERT_TRUE(device.wait_for_lines(7)) << joined(device.lines());
  kill(run, SIGINT);
  EXPECT_EQ(exit_status(run), 130);
  const std::vector<std::string> summary = device.summary();
  ASSERT_FALSE(summary.empty()) << joined(device.lines());
  EXPECT_EQ(summary[0], "summary: 10 frames, 0 bad frames") << joined(device.lines());
  EXPECT_EQ(joined(summary).find("still held"), std::string::npos) << joined(device.lines());
}

TEST(DeviceSafeStop, TerminatedScriptLeavesNothingHeld) {
  SoftwareDevice device;
  ASSERT_GT(device.port(), 0);
  TempFile script("KeyDown('Ctrl')\nKeyDown('c')\nwhile true do end\n");
  const pid_t run =
      spawn({kTapline, script.path(), "net", "127.0.0.1", std::to_string(device.port())}, -1, -1);
  ASSERT_TRUE(device.wait_for_lines(2)) << joined(device.lines());
  kill(run, SIGTERM);
  EXPECT_EQ(exit_status(run), 143);
  const std::vector<std::string> summary = device.summary();
  EXPECT_EQ(joined(summary).find("still held"), std::string::npos) << joined(device.lines());
}

TEST(DeviceSafeStop, ANormalEndLeavesWhatTheScriptHeld) {
  // The design's behaviour: a script that ends with keys down leaves them down.
  SoftwareDevice device;
  ASSERT_GT(device.port(), 0);
  TempFile script("KeyDown('a')\n");
  const pid_t run =
      spawn({kTapline, script.path(), "net", "127.0.0.1", std::to_string(device.port())}, -1, -1);
  EXPECT_EQ(exit_status(run), 0);
  ASSERT_TRUE(device.wait_for_lines(1));
  const std::vector<std::string> summary = device.summary();
  EXPECT_NE(joined(summary).find("still held on ch1: keys a"), std::string::npos)
      << joined(device.lines());
}

}  // namespace
