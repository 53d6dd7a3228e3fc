// End to end through a real desktop, X11 (a private Xvfb) and Wayland (a private headless
// sway, with a Wayland client and with an X11 client on Xwayland): a Tapline script sends
// frames over UDP to the software device, which injects them into the desktop, where a
// small client window records the key and pointer events it receives (both clients in the
// same lines) and fills itself with a colour when clicked.
// Each script ends with F12, which marks the end of what it typed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "command_capture.h"
#include "program_run.h"
#include "sway.h"
#include "tapline.h"
#include "xvfb.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::ListeningDevice;
using tapline::testing::ProgramResult;
using tapline::testing::SwayServer;
using tapline::testing::TempDir;
using tapline::testing::TempFile;
using tapline::testing::XvfbServer;
using Lines = std::vector<std::string>;

const std::string kDevice = tapline::testing::device_binary();
constexpr int kWidth = 800;
constexpr int kHeight = 600;

// The desktops, started by the first test that needs one and kept for the suite.
std::unique_ptr<XvfbServer> x_server;
std::unique_ptr<SwayServer> compositor;
// Its output a quarter turned and scaled 2, its layout the same size.
std::unique_ptr<SwayServer> turned_compositor;

// Runs on the X11 desktop ("x11"), or on the Wayland one with a Wayland client ("wayland",
// "wayland_turned" on the turned output) or an X11 client on Xwayland ("xwayland"); each
// test starts its own client and device.
class Desktop : public ::testing::TestWithParam<std::string> {
 protected:
  static void TearDownTestSuite() {
    x_server.reset();
    compositor.reset();
    turned_compositor.reset();
  }

  bool wayland() const { return GetParam() != "x11"; }
  bool wayland_client() const { return GetParam().rfind("wayland", 0) == 0; }
  bool turned() const { return GetParam() == "wayland_turned"; }

  void SetUp() override {
    if (wayland()) {
      if (const std::string reason = SwayServer::skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
      std::unique_ptr<SwayServer>& server = turned() ? turned_compositor : compositor;
      if (!server) {
        tapline::testing::SwayOptions options;
        options.outputs = {std::to_string(kWidth) + "x" + std::to_string(kHeight)};
        options.xwayland = !turned();
        // The X11 client is a managed window there: the only window of its workspace,
        // without a border, it fills the output and has the keyboard focus.
        options.config = {"default_border none"};
        if (turned()) {
          options.outputs = {std::to_string(2 * kHeight) + "x" + std::to_string(2 * kWidth)};
          options.config.push_back("output HEADLESS-1 scale 2 transform 90");
        }
        server = std::make_unique<SwayServer>(options);
      }
      environment_ = server->client_environment();
      if (wayland_client()) {
        environment_.push_back("DISPLAY=");
      } else {
        const std::string display = server->x_display();
        ASSERT_NE(display, "") << "sway started no Xwayland";
        environment_.push_back("DISPLAY=" + display);
      }
    } else {
      if (!x_server)
        x_server = std::make_unique<XvfbServer>(std::to_string(kWidth) + "x" +
                                                std::to_string(kHeight) + "x24");
      environment_ = {"DISPLAY=" + x_server->name()};
    }
    ChildOptions client_options;
    client_options.environment = environment_;
    client_options.environment.push_back("LC_ALL=C.UTF-8");
    client_options.err = ChildOutput::Inherit;
    std::vector<std::string> client = {TAPLINE_DESKTOP_CLIENT};
    if (wayland_client()) {
#ifdef TAPLINE_WAYLAND_CLIENT  // without Wayland support the Wayland cases skip above
      client = {TAPLINE_WAYLAND_CLIENT};
#endif
    } else if (wayland()) {
      client.push_back("--managed");  // sway gives override-redirect windows no keys
    }
    client_ = std::make_unique<ChildProcess>(client, client_options);
    ASSERT_EQ(next_client_line("ready"),
              "ready " + std::to_string(kWidth) + " " + std::to_string(kHeight));
  }

  void start_device(const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments = {"--inject", wayland() ? "wayland" : "x11"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    // Standard output goes unread: a full pipe would stop the device.
    ChildOptions device_options;
    device_options.out = ChildOutput::Discard;
    device_options.environment = environment_;
    device_ = std::make_unique<ListeningDevice>(kDevice, arguments, device_options);
    ASSERT_GT(device_->port(), 0);
    port_ = std::to_string(device_->port());
    // The compositor's seat gains a keyboard with the device: the window has to take it
    // up before keys can reach it.
    if (wayland_client()) {
      ASSERT_EQ(next_client_line("keyboard-enter"), "keyboard-enter");
    }
  }

  // Runs the script with the console program over UDP to the device; returns what the
  // script wrote with io.write.
  std::string run_script(const std::string& script) {
    if (!device_) start_device();
    TempFile file(script);
    const ProgramResult result = tapline::testing::run_program(
        tapline::testing::tapline_binary(), {file.path(), "net", "127.0.0.1", port_}, environment_);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

  // The client's lines up to the end marker (the F12 key coming up).
  Lines client_events() {
    Lines lines;
    for (;;) {
      bool ok = false;
      std::string line = client_->out_line(ok);
      if (!ok) {
        ADD_FAILURE() << "the client saw no end marker; it saw:\n" << joined(lines);
        return lines;
      }
      if (line.rfind("key-up F12", 0) == 0) return lines;
      if (line.rfind("key-down F12", 0) != 0) lines.push_back(line);
    }
  }
  // The next client line that starts with `prefix`, skipping others.
  std::string next_client_line(const std::string& prefix) {
    for (;;) {
      bool ok = false;
      std::string line = client_->out_line(ok);
      if (!ok) return "(none: no line starting \"" + prefix + "\")";
      if (line.rfind(prefix, 0) == 0) return line;
    }
  }

  static std::string joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }
  static std::string typed_text(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines)
      if (line.rfind("text ", 0) == 0) text += line.substr(5);
    return text;
  }
  static Lines starting_with(const Lines& lines, const std::string& prefix) {
    Lines found;
    for (const std::string& line : lines)
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
  }
  // The decimal numbers after a line's first word.
  static std::vector<int> numbers(const std::string& line) {
    std::istringstream in(line.substr(line.find(' ') + 1));
    std::vector<int> values;
    int value = 0;
    while (in >> value) values.push_back(value);
    return values;
  }

  std::vector<std::string> environment_;  // of the client, the device and the script
  std::unique_ptr<ChildProcess> client_;
  std::unique_ptr<ListeningDevice> device_;
  std::string port_;
};

// What only X11 offers the console program: the pointer's position.
class X11Desktop : public Desktop {};
// The device spreads absolute positions over the layout, not over the output's pixels.
class TurnedOutputDesktop : public Desktop {};

INSTANTIATE_TEST_SUITE_P(Backends, Desktop, ::testing::Values("x11", "wayland", "xwayland"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(Backends, X11Desktop, ::testing::Values("x11"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(Backends, TurnedOutputDesktop, ::testing::Values("wayland_turned"),
                         [](const auto& info) { return info.param; });

TEST_P(Desktop, TextTypedByCharacterNumbersAndByKeys) {
  run_script(R"(
    SayString("Hi")
    SayString("中文")
    SayString("a中!")
    hid_cmd("key:string,ok?")
    SayStringUnicode("B中")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  EXPECT_EQ(typed_text(events), "Hi中文a中!ok?B中") << joined(events);
  // The keypad digits of the character numbers never reach the window.
  EXPECT_EQ(starting_with(events, "key-down KP_"), Lines{}) << joined(events);
  EXPECT_EQ(starting_with(events, "key-down Alt_L"), Lines{}) << joined(events);
}

TEST_P(Desktop, UnicodeReadingTypesCharactersBeyondTheBasicPlane) {
  start_device({"--altcodes", "unicode"});
  run_script(R"(
    SayStringUnicode("z\xF0\x9F\x98\x80")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  EXPECT_EQ(typed_text(events), "z\xF0\x9F\x98\x80") << joined(events);
}

TEST_P(Desktop, KeysWithModifiers) {
  run_script(R"(
    key("a", "LCTRL")
    KeyDown("LShift") KeyPress("b") KeyUp("LShift")
    KeyPress("Enter")
    key("F5", "LALT")
    hid_cmd("key:down,LCtrl") hid_cmd("key:press,c") hid_cmd("key:up,LCtrl")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  const Lines presses = starting_with(events, "key-down");
  // State bits: 0x1 Shift, 0x4 Control, 0x8 Mod1 (Alt).
  EXPECT_EQ(presses, (Lines{"key-down Control_L 0", "key-down a 4", "key-down Shift_L 0",
                            "key-down B 1", "key-down Return 0", "key-down Alt_L 0",
                            "key-down F5 8", "key-down Control_L 0", "key-down c 4"}))
      << joined(events);
  EXPECT_EQ(typed_text(events), "B");
}

TEST_P(Desktop, ClicksWheelAndDrag) {
  run_script(R"(
    MoveTo(100, 50)
    LeftClick()
    RightClick()
    MouseWheel(1)
    MouseWheel(-1)
    hid_cmd("mouse:leftdown")
    hid_cmd("mouse:move,3,2")
    hid_cmd("mouse:leftup")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  Lines buttons;
  for (const std::string& line : events)
    if (line.rfind("button-", 0) == 0) buttons.push_back(line);
  EXPECT_EQ(buttons, (Lines{"button-down 1 100 50", "button-up 1 100 50", "button-down 3 100 50",
                            "button-up 3 100 50", "button-down 4 100 50", "button-up 4 100 50",
                            "button-down 5 100 50", "button-up 5 100 50", "button-down 1 100 50",
                            "button-up 1 103 52"}))
      << joined(events);
  // The drag's move carries the held left button (state 0x100).
  EXPECT_NE(std::find(events.begin(), events.end(), "motion 103 52 100"), events.end())
      << joined(events);
}

// The last pixel is reached only through the layout's own extent: with the output's width
// and height taken unturned, the device's 600 steps across 800 pixels end one short.
TEST_P(TurnedOutputDesktop, AbsolutePositionsLandOnTheLayoutsPixels) {
  run_script(R"(
    MoveTo(100, 50)
    LeftClick()
    MoveTo(799, 599)
    LeftClick()
    KeyPress("F12")
  )");
  const Lines events = client_events();
  EXPECT_EQ(starting_with(events, "button-down 1"),
            (Lines{"button-down 1 100 50", "button-down 1 799 599"}))
      << joined(events);
}

TEST_P(Desktop, TouchSlideDragsWithTheLeftButton) {
  run_script(R"(
    TouchSet(800, 600)
    TouchSlide(100, 300, 400, 300)
    KeyPress("F12")
  )");
  const Lines events = client_events();
  const Lines downs = starting_with(events, "button-down");
  const Lines ups = starting_with(events, "button-up");
  ASSERT_EQ(downs.size(), 1u) << joined(events);
  ASSERT_EQ(ups.size(), 1u) << joined(events);
  const std::vector<int> down = numbers(downs[0]);
  const std::vector<int> up = numbers(ups[0]);
  ASSERT_EQ(down.size(), 3u);
  ASSERT_EQ(up.size(), 3u);
  // Touch units scale to 0..4095 and back to pixels: within a pixel of where they were.
  EXPECT_NEAR(down[1], 100, 1) << downs[0];
  EXPECT_NEAR(down[2], 300, 1) << downs[0];
  EXPECT_NEAR(up[1], 350, 1) << ups[0];  // the slide's last point before its end
  EXPECT_NEAR(up[2], 300, 1) << ups[0];
  // Between them the pointer moves with the left button held, one step of 50 a time.
  Lines dragged;
  for (const std::string& line : starting_with(events, "motion"))
    if (line.size() > 4 && line.compare(line.size() - 4, 4, " 100") == 0) dragged.push_back(line);
  EXPECT_EQ(dragged.size(), 5u) << joined(events);
}

TEST_P(X11Desktop, MoveDConvergesOnTheInjectedPointer) {
  // Relative moves of one unit, the cursor read back from the same desktop after each pass.
  run_script(R"(
    MoveTo(100, 100)
    MoveD(130, 115, 1)
    KeyPress("F12")
  )");
  const Lines motions = starting_with(client_events(), "motion");
  ASSERT_FALSE(motions.empty());
  const std::vector<int> last = numbers(motions.back());
  EXPECT_LT(std::abs(last[0] - 130), 5) << motions.back();
  EXPECT_LT(std::abs(last[1] - 115), 5) << motions.back();
}

TEST_P(Desktop, ScreenFunctionsSeeWhatTheClickedClientDrew) {
  // The client fills itself with 0xE02020 on its first click; the script waits (bounded)
  // until the screen shows it, then searches for it. It reads away from the pointer, which
  // a compositor may draw into the screen's picture.
  const std::string out = run_script(R"(
    MoveTo(300, 200)
    LeftClick()
    local wanted = 0xE0 + 0x20 * 256 + 0x20 * 65536
    local colour = GetColor(500, 400)
    for i = 1, 200 do
      if colour == wanted then break end
      sleep(20)
      colour = GetColor(500, 400)
    end
    local x, y = FindColor(wanted, 0, 0, 800, 600)
    io.write("colour ", colour, " found at ", x, " ", y, "\n")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  EXPECT_EQ(starting_with(events, "fill"), Lines{"fill E02020"}) << joined(events);
  EXPECT_NE(out.find("colour 2105568 found at 0 0\n"), std::string::npos) << out;
}

TEST_P(Desktop, MediaKeysAndTextCommands) {
  run_script(R"(
    hid_cmd("consumer:volup")
    hid_cmd("consumer:mute")
    hid_cmd("key:press,Tab")
    hid_cmd("mouse:rightclick")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  EXPECT_EQ(
      starting_with(events, "key-down"),
      (Lines{"key-down XF86AudioRaiseVolume 0", "key-down XF86AudioMute 0", "key-down Tab 0"}))
      << joined(events);
  EXPECT_EQ(starting_with(events, "button-down").size(), 1u) << joined(events);
}

TEST_P(Desktop, AStoppedDeviceLeavesNothingHeld) {
  run_script(R"(
    MoveTo(20, 30)
    KeyPress("F12")
    KeyDown("LCtrl")
    KeyDown("x")
    LeftDown()
    PowerDown()
  )");
  client_events();
  EXPECT_EQ(next_client_line("button-down"), "button-down 1 20 30");
  EXPECT_EQ(device_->end(SIGTERM), 0);
  const std::string notices = device_->rest_of_err();
  EXPECT_NE(notices.find("system request 1 (power down) logged, not carried out"),
            std::string::npos)
      << notices;
  // Released in the opposite order: the key, then Ctrl (both while the left button, 0x100,
  // is still down), then the button.
  EXPECT_EQ(next_client_line("key-up"), "key-up x 104");
  EXPECT_EQ(next_client_line("key-up"), "key-up Control_L 104");
  EXPECT_EQ(next_client_line("button-up"), "button-up 1 20 30");
  if (wayland()) return;
  Display* display = XOpenDisplay(x_server->name().c_str());
  ASSERT_NE(display, nullptr);
  char keys[32] = {};
  XQueryKeymap(display, keys);
  EXPECT_EQ(std::string(keys, sizeof keys), std::string(sizeof keys, '\0'));
  XCloseDisplay(display);
}

// Frames back to back, as fast as a host can send them: the desktop takes every one,
// however far behind it falls.
TEST_P(Desktop, ABurstOfFramesReachesTheDesktopWhole) {
  start_device();
  std::vector<std::vector<uint8_t>> frames;
  {
    tapline::testing::CommandCapture capture;
    for (int i = 0; i < 3000; ++i) move(i % 2 == 0 ? 3 : -3, 0);
    for (int i = 0; i < 300; ++i) key_hid(0x04);  // a
    key_hid(0x45);                                // F12
    frames = capture.frames();
  }
  const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sender, 0);
  sockaddr_in device{};
  device.sin_family = AF_INET;
  device.sin_port = htons(static_cast<uint16_t>(device_->port()));
  device.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (const std::vector<uint8_t>& frame : frames)
    ASSERT_EQ(sendto(sender, frame.data(), frame.size(), 0,
                     reinterpret_cast<const sockaddr*>(&device), sizeof device),
              static_cast<ssize_t>(frame.size()));
  const Lines events = client_events();
  close(sender);
  EXPECT_EQ(typed_text(events), std::string(300, 'a'));
  EXPECT_EQ(device_->end(SIGTERM), 0) << device_->rest_of_err();
}

TEST_P(Desktop, EveryStopSignalReleasesOnTheDesktop) {
  for (const int signal : {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ}) {
    SCOPED_TRACE(strsignal(signal));
    start_device();
    run_script("KeyPress('F12')\nKeyDown('LShift')\n");
    client_events();
    EXPECT_EQ(next_client_line("key-down"), "key-down Shift_L 0");
    EXPECT_EQ(device_->end(signal), 0);
    EXPECT_EQ(next_client_line("key-up"), "key-up Shift_L 1");
  }
}

TEST_P(Desktop, ASilenceReleasesHeldKeys) {
  start_device({"--release-after", "200"});
  run_script(R"(
    KeyPress("F12")
    KeyDown("LShift")
  )");
  client_events();
  EXPECT_EQ(next_client_line("key-down"), "key-down Shift_L 0");
  // No signal, no frame: the device lets go by itself.
  EXPECT_EQ(next_client_line("key-up"), "key-up Shift_L 1");
}

// The compositor and the programs it starts (terminals, pictures) run as its own user:
// they start and read their folder even when the test runs in a folder private to root
// and with a umask that keeps root's new files to root.
TEST(SwayCompositor, StartsAndRunsItsProgramsWhereverTheTestRuns) {
  if (const std::string reason = SwayServer::skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
  if (geteuid() != 0) GTEST_SKIP() << "the compositor runs as this test's own user";
  const TempDir private_folder;  // made by root, for root only
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(private_folder.directory());
  const mode_t umask_before = umask(077);
  std::unique_ptr<SwayServer> sway;
  EXPECT_NO_THROW(sway = std::make_unique<SwayServer>());
  umask(umask_before);
  std::filesystem::current_path(here);
  ASSERT_TRUE(sway);
  const std::string entered = sway->runtime_dir() + "/entered";
  sway->swaymsg({"exec", "ls >/dev/null && touch " + entered});
  EXPECT_TRUE(tapline::testing::eventually([&] { return std::filesystem::exists(entered); }));
}

TEST(DesktopOptions, RefusedOrWithoutADisplay) {
  using tapline::testing::run_program;
  ProgramResult result = run_program(kDevice, {"--channel", "2"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--channel needs --inject, --gadget or --uhid"), std::string::npos)
      << result.err;
  EXPECT_EQ(run_program(kDevice, {"--inject", "x11", "--altcodes", "utf8"}).status, 2);
  EXPECT_EQ(run_program(kDevice, {"--inject", "x11", "--channel", "4"}).status, 2);
  EXPECT_EQ(run_program(kDevice, {"--inject", "x11", "--release-after", "-5"}).status, 2);
  EXPECT_EQ(run_program(kDevice, {"--inject", "mir"}).status, 2);
  result = run_program(kDevice, {"--uhid", "--gadget"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("--inject, --gadget and --uhid go one at a time"), std::string::npos)
      << result.err;

  // No display: the device says so and never listens.
  result = run_program(kDevice, {"--inject", "x11", "--listen", "127.0.0.1:0"}, {"DISPLAY="});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "tapline-device: --inject x11: cannot open an X display: DISPLAY is not set\n");
#ifdef TAPLINE_WITH_WAYLAND
  result = run_program(kDevice, {"--inject", "wayland", "--listen", "127.0.0.1:0"},
                       {"WAYLAND_DISPLAY=/nonexistent/wayland-9"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("tapline-device: --inject wayland: cannot connect to the Wayland "
                             "display /nonexistent/wayland-9: ",
                             0),
            0u)
      << result.err;

  // A compositor that takes the connection but never answers: the device gives up on it
  // instead of waiting, deaf to stop signals, for as long as it stays silent.
  const TempDir folder;
  const std::string silent = folder.file("wayland-silent");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, silent.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  result = run_program(kDevice, {"--inject", "wayland", "--listen", "127.0.0.1:0"},
                       {"WAYLAND_DISPLAY=" + silent});
  close(listener);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tapline-device: --inject wayland: the Wayland display " + silent +
                            " does not answer\n");

#else
  result = run_program(kDevice, {"--inject", "wayland", "--listen", "127.0.0.1:0"},
                       {"WAYLAND_DISPLAY=/nonexistent/wayland-9"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tapline-device: --inject wayland: this build has no Wayland support\n");
#endif

  result = run_program(kDevice, {"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("--altcodes MODE"), std::string::npos);
}

}  // namespace
