// The exported commands called from 8 threads at once, sent over UDP to the software
// device: every frame arrives whole, and the frames of each command arrive together.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "tapline.h"

namespace {

using tapline::testing::device_binary;
using tapline::testing::ListeningDevice;

constexpr int kThreads = 8;
constexpr int kCommandsPerThread = 6;

std::string json_text(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t start = line.find(key);
  if (start == std::string::npos) return {};
  const size_t value = start + key.size();
  return line.substr(value, line.find('"', value) - value);
}

// The report each thread presses, as the device prints it (type, report in hex). Each
// command sends exactly this press and then its release.
std::string pressed_by(int thread) {
  char text[64];
  switch (thread % 4) {
    case 0:  // key_hid: the usage alone
      std::snprintf(text, sizeof text, "Keyboard 0000%02x0000000000", 0x04 + thread);
      break;
    case 1:  // key_action press and release: the usage through the held keys
      std::snprintf(text, sizeof text, "Keyboard 0000%02x0000000000", 0x1E + thread);
      break;
    case 2:  // consumer: the usage, then none
      std::snprintf(text, sizeof text, "Consumer %02x000000000000", 0xB0 + thread);
      break;
    default:  // left_click and right_click by turns are told apart by the thread's mouse
      std::snprintf(text, sizeof text, "Mouse %02x000000000000", thread == 3 ? 1 : 2);
  }
  return text;
}

std::string released(const std::string& press) {
  const std::string type = press.substr(0, press.find(' '));
  return type + " " + std::string(press.size() - type.size() - 1, '0');
}

void run_commands(int thread) {
  const char names[][2] = {"1", "2", "3", "4", "5", "6", "7", "8"};
  for (int i = 0; i < kCommandsPerThread; ++i) {
    switch (thread % 4) {
      case 0:
        key_hid(0x04 + thread);
        break;
      case 1:
        key_action(names[thread], 2);
        break;
      case 2:
        consumer(0xB0 + thread);
        break;
      default:
        thread == 3 ? left_click() : right_click();
    }
  }
}

TEST(DeviceThreads, EveryCommandsFramesArriveTogetherAndWhole) {
  ListeningDevice device(device_binary(), {"--json"});
  ASSERT_GT(device.port(), 0);
  ASSERT_NE(0, netcfg("127.0.0.1", device.port()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(run_commands, t);
  for (std::thread& thread : threads) thread.join();

  std::map<std::string, int> presses;
  for (int frame = 0; frame < kThreads * kCommandsPerThread; ++frame) {
    const std::string press_line = device.out_line();
    const std::string release_line = device.out_line();
    const std::string press = json_text(press_line, "type") + " " + json_text(press_line, "report");
    const std::string release =
        json_text(release_line, "type") + " " + json_text(release_line, "report");
    EXPECT_EQ(release, released(press)) << press_line << "\n" << release_line;
    ++presses[press];
  }
  std::map<std::string, int> expected;
  for (int t = 0; t < kThreads; ++t) expected[pressed_by(t)] = kCommandsPerThread;
  EXPECT_EQ(presses, expected);

  device.signal(SIGTERM);
  const std::string summary = device.out_line();
  EXPECT_EQ(0u, summary.find("{\"summary\":{\"frames\":96,\"bad_frames\":0,\"kernel_drops\":0"))
      << summary;
  EXPECT_EQ(0, device.wait_exit_status());
  set_send_cb(nullptr);
}

}  // namespace
