// Recording and replay, end to end on two private X servers: keys and mouse pressed
// through XTest on one desktop while `tapline --record` runs there; the recorded script
// then runs over UDP to the software device, which injects it into the other desktop,
// where a client window reports what it receives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "program_run.h"
#include "xvfb.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/keysym.h>

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::FakeInput;
using tapline::testing::ListeningDevice;
using tapline::testing::TempDir;
using tapline::testing::TempFile;
using tapline::testing::XvfbServer;
using Lines = std::vector<std::string>;

const std::string kScreen = "800x600x24";

// Pointer positions are read as the recorder handles each button, within a millisecond or
// so; XTest presses come far faster than a hand, so the test pauses around the buttons as
// a hand would.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(60)); }

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// `tapline --record` on `display`, started and ready for input.
std::unique_ptr<ChildProcess> start_recording(const XvfbServer& display, const std::string& path,
                                              const std::vector<std::string>& options = {}) {
  std::vector<std::string> argv = {tapline::testing::tapline_binary(), "--record", path};
  argv.insert(argv.end(), options.begin(), options.end());
  ChildOptions child;
  child.environment = {"DISPLAY=" + display.name()};
  auto recording = std::make_unique<ChildProcess>(argv, child);
  bool ok = false;
  const std::string line = recording->err_line(ok);
  EXPECT_EQ(line.rfind("tapline: recording to " + path, 0), 0u) << line;
  return recording;
}

// The client's lines, up to the key F12 coming up.
Lines client_events(ChildProcess& client) {
  Lines lines;
  for (bool ok = true;;) {
    std::string line = client.out_line(ok);
    if (!ok || line.rfind("key-up F12", 0) == 0) return lines;
    if (line.rfind("key-down F12", 0) != 0) lines.push_back(line);
  }
}

Lines starting_with(const Lines& lines, const std::string& prefix) {
  Lines found;
  for (const std::string& line : lines)
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  return found;
}

struct ButtonEvent {
  std::string kind;
  int button, x, y;
};

std::vector<ButtonEvent> buttons(const Lines& lines) {
  std::vector<ButtonEvent> found;
  for (const std::string& line : starting_with(lines, "button-")) {
    std::istringstream in(line);
    ButtonEvent event;
    in >> event.kind >> event.button >> event.x >> event.y;
    found.push_back(event);
  }
  return found;
}

TEST(RecordReplay, WhatIsRecordedOnOneDesktopHappensOnTheOther) {
  XvfbServer host(kScreen);
  XvfbServer target(kScreen);
  TempFile directory("", "unused");
  const std::string path = directory.directory() + "/recorded.lua";

  auto recording = start_recording(host, path);
  FakeInput input(host.name());
  input.key(XK_Shift_L, true);
  input.tap(XK_h);
  input.key(XK_Shift_L, false);
  input.tap(XK_i);
  input.key(XK_Shift_L, true);
  input.tap(XK_1);
  input.key(XK_Shift_L, false);
  input.key(XK_Control_L, true);  // held beyond a quick press
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  input.tap(XK_a);
  input.key(XK_Control_L, false);
  input.tap(XK_Return);
  input.move(100, 50);
  settle();
  input.click(1);
  settle();
  input.move(300, 200);
  settle();
  input.click(3);
  input.click(4);
  settle();
  input.move(400, 300);
  settle();
  input.button(1, true);  // a drag, thinned to a move every 20 ms at most
  settle();
  for (int step = 1; step <= 5; ++step) {
    input.move(400 + 20 * step, 300 + 10 * step);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  settle();
  input.button(1, false);
  input.tap(XK_Pause);

  const std::string counts = recording->rest_of_out();
  EXPECT_EQ(recording->wait_exit_status(), 0);
  // The live count ends with the count the script ends with.
  const size_t last_count = counts.rfind("recorded ");
  ASSERT_NE(last_count, std::string::npos) << counts;
  // Nothing beside the script: the temporary file became it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.directory()), {}), 2);
  const std::string script = file_text(path);
  const std::string count = std::to_string(std::stoi(counts.substr(last_count + 9)));
  EXPECT_NE(script.find("-- End of the recording: " + count + " events.\n"), std::string::npos)
      << counts << script;
  EXPECT_NE(script.find("KeyPress(\"i\")"), std::string::npos) << script;
  EXPECT_EQ(script.find("Pause"), std::string::npos) << script;

  // The replay, with F12 as the end marker for the client.
  ChildOptions on_target;
  on_target.environment = {"DISPLAY=" + target.name(), "LC_ALL=C.UTF-8"};
  on_target.err = ChildOutput::Inherit;
  ChildProcess client({TAPLINE_DESKTOP_CLIENT}, on_target);
  bool ok = false;
  ASSERT_EQ(client.out_line(ok), "ready 800 600");
  on_target.out = ChildOutput::Discard;
  ListeningDevice device(tapline::testing::device_binary(), {"--inject", "x11"}, on_target);
  TempFile replay(script + "KeyPress(\"F12\")\n");
  const auto result = tapline::testing::run_program(
      tapline::testing::tapline_binary(),
      {replay.path(), "net", "127.0.0.1", std::to_string(device.port())},
      {"DISPLAY=" + target.name()});
  EXPECT_EQ(result.status, 0) << result.err;

  const Lines events = client_events(client);
  std::string text;
  for (const std::string& line : starting_with(events, "text ")) text += line.substr(5);
  EXPECT_EQ(text, "Hi!");
  EXPECT_EQ(
      starting_with(events, "key-down"),
      (Lines{"key-down Shift_L 0", "key-down H 1", "key-down i 0", "key-down Shift_L 0",
             "key-down exclam 1", "key-down Control_L 0", "key-down a 4", "key-down Return 0"}))
      << script;
  const std::vector<ButtonEvent> seen = buttons(events);
  const std::vector<ButtonEvent> pressed = {
      {"button-down", 1, 100, 50},  {"button-up", 1, 100, 50},    {"button-down", 3, 300, 200},
      {"button-up", 3, 300, 200},   {"button-down", 4, 300, 200}, {"button-up", 4, 300, 200},
      {"button-down", 1, 400, 300}, {"button-up", 1, 500, 350}};
  ASSERT_EQ(seen.size(), pressed.size()) << script;
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].kind, pressed[i].kind) << i;
    EXPECT_EQ(seen[i].button, pressed[i].button) << i;
    EXPECT_NEAR(seen[i].x, pressed[i].x, 1) << i;
    EXPECT_NEAR(seen[i].y, pressed[i].y, 1) << i;
  }
  // The drag's moves arrive with the left button held (state 0x100).
  Lines dragged;
  for (const std::string& line : starting_with(events, "motion"))
    if (line.size() > 4 && line.compare(line.size() - 4, 4, " 100") == 0) dragged.push_back(line);
  EXPECT_GE(dragged.size(), 3u) << script;
}

TEST(RecordReplay, AnInterruptedRecordingIsACompleteScript) {
  XvfbServer host(kScreen);
  TempFile directory("", "unused");
  const std::string path = directory.directory() + "/recorded.lua";
  const mode_t mask = umask(022);  // the usual mask, which leaves new files world-readable
  auto recording = start_recording(host, path, {"--stop-key", "F9"});
  umask(mask);
  FakeInput input(host.name());
  input.tap(XK_x);
  input.tap(XK_Pause);  // not the stop key this time
  settle();
  input.key(XK_Control_L, true);  // the Ctrl of a Ctrl+C: left out
  settle();
  EXPECT_EQ(recording->end(SIGINT), 128 + SIGINT);
  input.key(XK_Control_L, false);

  const std::string script = file_text(path);
  EXPECT_NE(script.find("KeyPress(\"x\")\nKeyPress(\"Pause\")\n"), std::string::npos) << script;
  EXPECT_EQ(script.find("LCtrl"), std::string::npos) << script;
  EXPECT_NE(script.find("-- End of the recording: 4 events.\n"), std::string::npos) << script;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.directory()), {}), 2);
  // It holds whatever was typed: for its owner's eyes only.
  EXPECT_EQ(std::filesystem::status(path).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(RecordReplay, ADirectoryOrFifoIsRefusedBeforeAnythingIsRecorded) {
  TempDir directory;
  const std::string fifo = directory.file("fifo.lua");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // No display is needed to be refused.
  for (const auto& [path, kind] :
       {std::pair{directory.directory(), "a directory"}, std::pair{fifo, "a FIFO"}}) {
    const auto result = tapline::testing::run_program(tapline::testing::tapline_binary(),
                                                      {"--record", path}, {"DISPLAY="});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "tapline: " + path + " is " + kind + ", not a file; nothing was recorded\n");
  }
  EXPECT_EQ(std::filesystem::status(fifo).type(), std::filesystem::file_type::fifo);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.directory()), {}), 1);
}

}  // namespace
