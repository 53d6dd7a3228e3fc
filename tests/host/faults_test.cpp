// Faults from outside while a script runs: a UDP destination the kernel refuses, an X
// screen that disappears, a picture file cut short, a host window that blocks. Each one
// gives its clear message or result, and the run goes on to its normal end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "command/host_message.h"
#include "program_run.h"
#include "screen_images.h"
#include "script_state.h"
#include "tapline.h"
#include "xvfb.h"

namespace {

using tapline::testing::run_program;
using tapline::testing::script_output;
using tapline::testing::tapline_binary;
using tapline::testing::TempFile;

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(Faults, UdpDestinationTheKernelRefusesIsReportedPerFrameAndTheRunGoesOn) {
  // Port 65536 leaves as port 0, which the kernel refuses for every datagram.
  TempFile script("KeyPress('a')\nprintf('after\\n')\n");
  const auto result = run_program(tapline_binary(), {script.path(), "net", "127.0.0.1", "65536"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, " send error!, error code is 22\n"), 2u) << result.out;
  EXPECT_NE(result.out.find("global:printf\nafter\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("运行结束\n"), std::string::npos) << result.out;
}

TEST(Faults, AddressIsAHostNameOrTheRunIsRefused) {
  TempFile script("KeyPress('a')\n");
  // Neither dotted IPv4 text nor a name that resolves: nothing is sent anywhere.
  const auto typo = run_program(tapline_binary(), {script.path(), "net", "192.168.1.300", "9"});
  EXPECT_EQ(typo.status, 255);
  EXPECT_EQ(typo.err,
            "tapline: the UDP address \"192.168.1.300\" is neither an IPv4 address nor a host name "
            "with one; "
            "keeping 255.255.255.255\n");
  EXPECT_EQ(typo.out.find("开始运行"), std::string::npos) << typo.out;
  // A host name is looked up: the frames reach the loopback receiver.
  const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
  const auto named = run_program(tapline_binary(), {script.path(), "net", "localhost",
                                                    std::to_string(ntohs(address.sin_port))});
  EXPECT_EQ(named.status, 0);
  EXPECT_EQ(named.err, "");
  uint8_t frame[64];
  EXPECT_EQ(recv(receiver, frame, sizeof frame, MSG_DONTWAIT), 12);
  close(receiver);
}

TEST(Faults, ScreenThatDisappearsMidRunLeavesTheScriptRunning) {
  tapline::testing::XvfbServer xvfb("64x48x24");
  // The script takes the screen away itself, then uses every function that reads it.
  TempFile script(
      "local w, h = GetScreenResolution()\n"
      "printf('before %d %d\\n', w, h)\n"
      // Waits until the server has exited (its sockets are closed once it is a zombie):
      // a connection opened while it is half gone could end the process inside Xlib.
      "local pid = os.getenv('TAPLINE_TEST_XVFB_PID')\n"
      "os.execute('kill -9 ' .. pid .. '; while grep -qs \"^State:.*[RSDT]\" /proc/' .. pid ..\n"
      "           '/status; do sleep 0.05; done')\n"
      "local results = {}\n"
      "local function note(...) results[#results + 1] = select('#', ...) end\n"
      "note(GetScreenResolution())\n"
      "note(GetMousePosition())\n"
      "note(GetColor(1, 1))\n"
      "note(FindColor(0, 0, 0, 10, 10))\n"
      "CaptureScreen('shot.bmp')\n"
      "note(FindBmp('shot.bmp', 0, 0, 10, 10))\n"
      "note(GetKeyState(65))\n"
      "note(WaitKey(65, 10))\n"
      "note(GetClipBoard())\n"
      "SetClipBoard('x')\n"
      "note(GetWindowPos('none'))\n"
      "beep()\n"
      "printf('after %s\\n', table.concat(results, ','))\n");
  const auto result = run_program(
      tapline_binary(), {script.path(), "net", "127.0.0.1", "9"},
      {"DISPLAY=" + xvfb.name(), "TAPLINE_TEST_XVFB_PID=" + std::to_string(xvfb.pid())});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("before 64 48\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nafter "), std::string::npos) << result.out << result.err;
  EXPECT_NE(result.out.find("运行结束\n"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("the X11 display"), std::string::npos) << result.err;
}

TEST(Faults, PictureFileCutShortIsRefusedWithItsReasonAndTheRunGoesOn) {
  tapline::testing::TempDir dir;
  tapline::testing::Image screen(40, 30, 0x202020);
  screen.fill(10, 10, 8, 6, 0xABCDEF);
  const std::string screen_path = dir.write("screen.bmp", tapline::testing::make_bmp(screen));
  const std::string picture =
      dir.write("picture.bmp", tapline::testing::make_bmp(screen.crop(9, 9, 10, 8)));
  // The picture is first whole (found), then cut short, then emptied, between searches.
  TempFile script("local path = '" + picture +
                  "'\n"
                  "local whole = io.open(path, 'rb'):read('a')\n"
                  "printf('whole %d %d\\n', FindBmp(path, 0, 0, 0, 0))\n"
                  "io.open(path, 'wb'):write(whole:sub(1, 70)):close()\n"
                  "printf('cut %d %d\\n', FindBmp(path, 0, 0, 0, 0))\n"
                  "printf('cut tolerant %d %d\\n', FindBmpEx(path, 0, 0, 0, 0, 10))\n"
                  "io.open(path, 'wb'):close()\n"
                  "printf('empty %d %d\\n', FindBmp(path, 0, 0, 0, 0))\n");
  const auto result = run_program(tapline_binary(), {script.path(), "net", "127.0.0.1", "9"},
                                  {"TAPLINE_SCREEN=" + screen_path, "DISPLAY=:99999"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("whole 9 9\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("cut -1 -1\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("cut tolerant -1 -1\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("empty -1 -1\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("运行结束\n"), std::string::npos) << result.out;
  // Each line is said in the name of the script function that met the file.
  EXPECT_EQ(occurrences(result.err, "FindBmp: " + picture + " is not a usable BMP picture: "), 2u)
      << result.err;
  EXPECT_EQ(occurrences(result.err, "FindBmpEx: " + picture + " is not a usable BMP picture: "), 1u)
      << result.err;
}

// The host "window" that never returns until the test lets it: posting must not wait for
// it, and nothing posted meanwhile may be lost or reordered.
std::mutex gate_lock;
std::condition_variable gate_opened;
bool gate_open = false;
bool window_gave_up = false;
std::vector<std::string> delivered;

void blocking_window(unsigned int, uintptr_t, char* text) {
  {
    std::unique_lock guard(gate_lock);
    // A guard against a hang only: if posting waited for this call, the test fails here.
    if (!gate_opened.wait_for(guard, std::chrono::seconds(30), [] { return gate_open; }))
      window_gave_up = true;
    delivered.emplace_back(text);
  }
  std::free(text);
}

TEST(Faults, HostWindowThatBlocksDoesNotHoldThePoster) {
  set_apphandle(blocking_window);
  constexpr int kTexts = 1000;
  for (int i = 0; i < kTexts; ++i) tapline::post_to_host(std::to_string(i).c_str());
  {
    std::lock_guard guard(gate_lock);
    gate_open = true;
  }
  gate_opened.notify_all();
  EXPECT_TRUE(tapline::flush_host_messages(std::chrono::seconds(30)));
  set_apphandle(nullptr);
  std::lock_guard guard(gate_lock);
  EXPECT_FALSE(window_gave_up) << "posting waited for the host window";
  ASSERT_EQ(delivered.size(), static_cast<size_t>(kTexts));
  for (int i = 0; i < kTexts; ++i) EXPECT_EQ(delivered[i], std::to_string(i));
}

}  // namespace
