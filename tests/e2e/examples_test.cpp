// Scripts run with the console program against the software device over loopback UDP, on a
// private X server (the examples read this machine's screen, cursor and keys): every
// script of examples/, checked for the frames it is about, and one script of every kind of
// command, checked frame for frame.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "program_run.h"
#include "xvfb.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::eventually;
using tapline::testing::json_field;
using tapline::testing::ListeningDevice;
using tapline::testing::TempDir;
using Bytes = std::vector<uint8_t>;

// One frame as the device decoded it (one line of its --json output).
struct Frame {
  int channel = -1;
  std::string type;
  Bytes report;
  std::string text;  // type, type byte and report as the device prints them
};

std::vector<Frame> frames_in(const std::string& path) {
  std::vector<Frame> frames;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (json_field(line, "type").empty()) continue;  // the closing summary
    const std::string hex = json_field(line, "report");
    Frame frame{std::stoi(json_field(line, "channel")),
                json_field(line, "type"),
                {},
                json_field(line, "type") + " " + json_field(line, "type_byte") + " " + hex};
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      frame.report.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    frames.push_back(frame);
  }
  return frames;
}

std::vector<Frame> of_type(const std::vector<Frame>& frames, const std::string& type) {
  std::vector<Frame> found;
  for (const Frame& frame : frames)
    if (frame.type == type) found.push_back(frame);
  return found;
}

// Whether a frame of `type` has a report starting with `start`.
bool sent(const std::vector<Frame>& frames, const std::string& type, const Bytes& start) {
  for (const Frame& frame : of_type(frames, type))
    if (frame.report.size() >= start.size() &&
        Bytes(frame.report.begin(), frame.report.begin() + start.size()) == start)
      return true;
  return false;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

class Examples : public tapline::testing::XvfbSuite {
 protected:
  // Runs `script` (a path below the source tree) against the device started with `device_options`;
  // `meanwhile` runs while the script does. Returns the frames the device decoded; what the console
  // program wrote is in out_.
  std::vector<Frame> run(const std::string& script,
                         const std::vector<std::string>& device_options = {},
                         const std::function<void()>& meanwhile = {}) {
    ChildOptions device_output;
    device_output.out = ChildOutput::File;
    device_output.file = dir_.file("decoded");
    std::vector<std::string> options{"--json"};
    options.insert(options.end(), device_options.begin(), device_options.end());
    ListeningDevice device(tapline::testing::device_binary(), options, device_output);
    EXPECT_GT(device.port(), 0);
    ChildOptions script_output;
    script_output.environment = {"LC_ALL=C.UTF-8",
                                 "TAPLINE_DEMO_SCREENSHOT=" + dir_.file("shot.bmp")};
    script_output.out = script_output.err = ChildOutput::File;
    script_output.file = dir_.file("out");
    ChildProcess program(
        {tapline::testing::tapline_binary(), std::string(TAPLINE_SOURCE_DIR) + "/" + script, "net",
         "127.0.0.1", std::to_string(device.port())},
        script_output);
    if (meanwhile) meanwhile();
    EXPECT_EQ(program.wait_exit_status(), 0);
    EXPECT_EQ(device.end(SIGTERM), 0);
    out_ = file_text(dir_.file("out"));
    EXPECT_NE(out_.find("运行结束\n"), std::string::npos) << out_;
    const std::string decoded = file_text(dir_.file("decoded"));
    EXPECT_NE(decoded.find("\"bad_frames\":0"), std::string::npos) << decoded;
    return frames_in(dir_.file("decoded"));
  }

  TempDir dir_;
  std::string out_;
};

TEST_F(Examples, Demo) {
  const std::vector<Frame> frames = run("examples/demo.lua");
  EXPECT_NE(out_.find("after the loop: 3 ticks"), std::string::npos) << out_;
  for (const Frame& frame : frames) EXPECT_EQ(frame.channel, 2) << "set_channel(\"USB\") first";
  EXPECT_TRUE(sent(frames, "Keyboard", {0x01, 0, 0x06}));  // ctrl+c
  EXPECT_TRUE(sent(frames, "Consumer", {0xE9, 0x00}));     // volume up
  EXPECT_TRUE(sent(frames, "Consumer", {0x23, 0x02}));     // a phone's home key
  EXPECT_TRUE(sent(frames, "Joystick", {0x08, 0x00}));     // button 3
  EXPECT_TRUE(sent(frames, "Touch", {1, 0, 0xFF, 0x07}));  // the middle of 1080 across
}

TEST_F(Examples, MouseDragsWithTheButtonHeld) {
  // Nothing moves this machine's pointer, so MoveD stops after one pass.
  const std::vector<Frame> mouse = of_type(run("examples/mouse.lua"), "Mouse");
  size_t move = 0;  // the drag's first move: 100 across
  while (move < mouse.size() && mouse[move].report[2] != 100) ++move;
  ASSERT_GE(move, 1u);
  ASSERT_LT(move + 2, mouse.size());
  EXPECT_EQ(mouse[move - 1].report, (Bytes{1, 0, 0, 0, 0, 0, 0}));  // left button down
  EXPECT_EQ(mouse[move].report, (Bytes{1, 0, 100, 0, 0, 0, 0}));
  EXPECT_EQ(mouse[move + 1].report, (Bytes{1, 0, 0, 100, 0, 0, 0}));
  EXPECT_EQ(mouse[move + 2].report, (Bytes{0, 0, 0, 0, 0, 0, 0}));  // let go
  EXPECT_TRUE(sent(mouse, "Mouse", {0, 0xFD}));                     // wheel 3 down
  EXPECT_NE(out_.find("global:MoveD"), std::string::npos);
}

TEST_F(Examples, TouchGestures) {
  const std::vector<Frame> frames = run("examples/touch_gestures.lua");
  const std::vector<Frame> touch = of_type(frames, "Touch");
  // TouchSet(1080, 2400): the centre is the middle of the 0..4095 range on both axes.
  EXPECT_TRUE(sent(touch, "Touch", {1, 0, 0xFF, 0x07, 0xFF, 0x07}));
  EXPECT_TRUE(sent(touch, "Touch", {1, 1})) << "the zooms use a second finger";
  EXPECT_TRUE(sent(touch, "Touch", {0, 1})) << "and lift it";
  EXPECT_EQ(touch.back().report, (Bytes{0, 0, 0, 0, 0, 0}));  // TouchRelease(0)
  EXPECT_TRUE(sent(frames, "Consumer", {0x24, 0x02}));        // back
  EXPECT_TRUE(sent(frames, "Consumer", {0x23, 0x02}));        // home
}

TEST_F(Examples, Typing) {
  const std::vector<Frame> frames = run("examples/typing.lua");
  EXPECT_TRUE(sent(frames, "Keyboard", {0x01, 0, 0x04}));  // ctrl+a
  EXPECT_TRUE(sent(frames, "Keyboard", {0x04, 0, 0x2B}));  // alt+tab
  EXPECT_TRUE(sent(frames, "Keyboard", {0x03, 0, 0x29}));  // ctrl+shift+esc
  EXPECT_TRUE(sent(frames, "Keyboard", {0x02, 0, 0x0B}));  // h with Shift held
  EXPECT_TRUE(sent(frames, "Keyboard", {0x04, 0, 0x59}));  // Alt and a keypad digit
  EXPECT_NE(out_.find("VK of Enter: 13, of a: 65\n"), std::string::npos) << out_;
}

TEST_F(Examples, WaitForKeyTypesOnF9AndEndsOnEsc) {
  const auto decoded = dir_.file("decoded");
  const std::vector<Frame> frames = run("examples/wait_for_key.lua", {}, [&] {
    std::system("xdotool keydown F9");
    // Typed once the key is seen; Enter ends the text.
    EXPECT_TRUE(eventually([&] { return sent(frames_in(decoded), "Keyboard", {0, 0, 0x28}); }));
    std::system("xdotool keyup F9 keydown Escape");
  });
  std::system("xdotool keyup Escape");
  EXPECT_TRUE(sent(frames, "Keyboard", {0x04, 0, 0x59}));  // the text, by Alt codes
  EXPECT_EQ(frames.back().type, "Consumer");               // volume up, after Esc
  EXPECT_EQ(frames.back().report, (Bytes{0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Examples, HotkeysStartAndStopTheClicker) {
  const auto decoded = dir_.file("decoded");
  const std::vector<Frame> frames = run("examples/hotkeys.lua", {}, [&] {
    ASSERT_TRUE(eventually(
        [&] { return file_text(dir_.file("out")).find("Esc ends") != std::string::npos; }));
    std::system("xdotool key F8");
    EXPECT_TRUE(eventually([&] { return sent(frames_in(decoded), "Mouse", {1}); }));
    std::system("xdotool key F8 key Escape");
  });
  EXPECT_NE(out_.find("clicking on\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("clicking off\n"), std::string::npos) << out_;
  EXPECT_TRUE(sent(frames, "Mouse", {1, 0}));  // a left click's press
}

TEST_F(Examples, DesktopClickTypingAndScreenshot) {
  ChildOptions client_output;
  client_output.out = client_output.err = ChildOutput::File;
  client_output.file = dir_.file("client");
  ChildProcess client({TAPLINE_DESKTOP_CLIENT}, client_output);
  ASSERT_TRUE(eventually([&] { return file_text(dir_.file("client")).find("ready") == 0; }));
  const std::vector<Frame> frames = run("examples/desktop.lua", {"--inject", "x11"});
  EXPECT_EQ(out_.find("the click's colour is first seen at -1"), std::string::npos) << out_;
  EXPECT_NE(out_.find("the click's colour is first seen at "), std::string::npos) << out_;
  EXPECT_TRUE(std::filesystem::exists(dir_.file("shot.bmp")));
  EXPECT_FALSE(of_type(frames, "AbsoluteMouse").empty());
  EXPECT_TRUE(sent(frames, "Keyboard", {0x01, 0, 0x04}));  // ctrl+a
  EXPECT_TRUE(sent(frames, "Touch", {1, 0}));
}

using ScriptToDevice = Examples;

TEST_F(ScriptToDevice, EveryKindOfCommandFrameForFrame) {
  std::vector<std::string> decoded;
  for (const Frame& frame : run("tests/e2e/script_to_device.lua")) decoded.push_back(frame.text);
  EXPECT_EQ(decoded,
            (std::vector<std::string>{"Keyboard 41 0000040000000000",
                                      "Keyboard 41 0000000000000000",
                                      "Keyboard 81 0100060000000000",
                                      "Keyboard 81 0000000000000000",
                                      "Keyboard 81 04005a0000000000",
                                      "Keyboard 81 0400000000000000",
                                      "Keyboard 81 0400620000000000",
                                      "Keyboard 81 0400000000000000",
                                      "Keyboard 81 0400620000000000",
                                      "Keyboard 81 0400000000000000",
                                      "Keyboard 81 0400590000000000",
                                      "Keyboard 81 0400000000000000",
                                      "Keyboard 81 04005b0000000000",
                                      "Keyboard 81 0400000000000000",
                                      "Keyboard 81 0000000000000000",
                                      "Keyboard 81 0000000000000000",
                                      "Mouse 85 00000afb000000",
                                      "Mouse 85 00000000000000",
                                      "Mouse 85 02000000000000",
                                      "Mouse 85 00000000000000",
                                      "Mouse 85 00ff0000000000",
                                      "Mouse 85 00000000000000",
                                      "Consumer 82 e2000000000000",
                                      "Consumer 82 00000000000000",
                                      "Touch 87 0100ff07ff07",
                                      "Touch 87 000000000000",
                                      "Joystick 84 00800000000000",
                                      "Joystick 84 00000000000000",
                                      "Keyboard 81 0200000000000000",
                                      "Keyboard 81 0000000000000000",
                                      "DeviceCommand 88 f30c0000000000000000000000000000"}));
}

}  // namespace
