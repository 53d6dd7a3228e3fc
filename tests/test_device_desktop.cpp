// End to end through a real X server: a Tapline script sends frames over UDP to the
// software device, which injects them into a private Xvfb desktop, where a small client
// window records the key and pointer events it receives and fills itself with a colour
// when clicked. Each script ends with F12, which marks the end of what it typed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"
#include "xvfb.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>

extern char** environ;

namespace {

using tapline::testing::ProgramResult;
using tapline::testing::TempFile;
using tapline::testing::XvfbServer;
using Lines = std::vector<std::string>;

const std::string kDevice = std::string(TAPLINE_BINARY_DIR) + "/tools/device/tapline-device";
const std::string kClient = TAPLINE_DESKTOP_CLIENT;
// Only guards against a hung run; no assertion depends on how fast anything happens.
constexpr int kHangGuardMs = 15000;
constexpr int kWidth = 800;
constexpr int kHeight = 600;

// A program with its standard output and error read through pipes, ended by its pid.
class Process {
 public:
  // Without `read_stdout`, standard output goes to /dev/null: a pipe nobody reads would
  // stop the program once it is full.
  Process(std::vector<std::string> argv, const std::vector<std::string>& environment,
          bool read_stdout) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    std::vector<std::string> env_text = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) env_text.emplace_back(*entry);
    std::vector<char*> env;
    for (std::string& entry : env_text) env.push_back(entry.data());
    env.push_back(nullptr);
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (read_stdout)
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    else
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Process() {
    end(SIGKILL);
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  // One line without its end; empty with `ok` false at the end of the stream or on a hang.
  std::string out_line(bool& ok) { return read_line(out_, out_buffer_, ok); }
  std::string err_line(bool& ok) { return read_line(err_, err_buffer_, ok); }
  // Everything on standard error until the stream ends.
  std::string rest_of_err() {
    bool ok = true;
    std::string text;
    while (ok) text += err_line(ok) + (ok ? "\n" : "");
    return text;
  }
  // Signals the process and waits for it; its exit status, -1 when it did not exit.
  int end(int signal_number) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal_number);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static std::string read_line(int fd, std::string& buffer, bool& ok) {
    ok = false;
    for (;;) {
      const size_t end = buffer.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        ok = true;
        return line;
      }
      pollfd readable{fd, POLLIN, 0};
      if (fd < 0 || poll(&readable, 1, kHangGuardMs) <= 0) return {};
      char chunk[4096];
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got <= 0) return {};
      buffer.append(chunk, static_cast<size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_buffer_;
  std::string err_buffer_;
};

XvfbServer* server = nullptr;

class Desktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new XvfbServer(std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24");
    // The device, the client and the script all use this desktop.
    setenv("DISPLAY", server->name().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    client_ = std::make_unique<Process>(std::vector<std::string>{kClient},
                                        std::vector<std::string>{"LC_ALL=C.UTF-8"}, true);
    bool ok = false;
    const std::string ready = client_->out_line(ok);
    ASSERT_EQ(ready, "ready " + std::to_string(kWidth) + " " + std::to_string(kHeight));
  }

  void start_device(const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {kDevice, "--inject", "x11", "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), options.begin(), options.end());
    device_ = std::make_unique<Process>(argv, std::vector<std::string>{}, false);
    bool ok = false;
    const std::string line = device_->err_line(ok);
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    port_ = line.substr(prefix.size());
  }

  // Runs the script with the console program over UDP to the device; returns what the
  // script wrote with io.write.
  std::string run_script(const std::string& script) {
    if (!device_) start_device();
    TempFile file(script);
    const ProgramResult result = tapline::testing::run_program(
        tapline::testing::tapline_binary(), {file.path(), "net", "127.0.0.1", port_});
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

  std::unique_ptr<Process> client_;
  std::unique_ptr<Process> device_;
  std::string port_;
};

TEST_F(Desktop, TextTypedByCharacterNumbersAndByKeys) {
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

TEST_F(Desktop, UnicodeReadingTypesCharactersBeyondTheBasicPlane) {
  start_device({"--altcodes", "unicode"});
  run_script(R"(
    SayStringUnicode("z\xF0\x9F\x98\x80")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  EXPECT_EQ(typed_text(events), "z\xF0\x9F\x98\x80") << joined(events);
}

TEST_F(Desktop, KeysWithModifiers) {
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

TEST_F(Desktop, ClicksWheelAndDrag) {
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

TEST_F(Desktop, TouchSlideDragsWithTheLeftButton) {
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

TEST_F(Desktop, MoveDConvergesOnTheInjectedPointer) {
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

TEST_F(Desktop, ScreenFunctionsSeeWhatTheClickedClientDrew) {
  // The client fills itself with 0xE02020 on its first click; the script waits (bounded)
  // until the screen shows it, then searches for it.
  const std::string out = run_script(R"(
    MoveTo(300, 200)
    LeftClick()
    local wanted = 0xE0 + 0x20 * 256 + 0x20 * 65536
    local colour = GetColor(300, 200)
    for i = 1, 200 do
      if colour == wanted then break end
      sleep(20)
      colour = GetColor(300, 200)
    end
    local x, y = FindColor(wanted, 0, 0, 800, 600)
    io.write("colour ", colour, " found at ", x, " ", y, "\n")
    KeyPress("F12")
  )");
  const Lines events = client_events();
  EXPECT_EQ(starting_with(events, "fill"), Lines{"fill E02020"}) << joined(events);
  EXPECT_NE(out.find("colour 2105568 found at 0 0\n"), std::string::npos) << out;
}

TEST_F(Desktop, MediaKeysAndTextCommands) {
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

TEST_F(Desktop, AStoppedDeviceLeavesNothingHeld) {
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
  Display* display = XOpenDisplay(server->name().c_str());
  ASSERT_NE(display, nullptr);
  char keys[32] = {};
  XQueryKeymap(display, keys);
  EXPECT_EQ(std::string(keys, sizeof keys), std::string(sizeof keys, '\0'));
  XCloseDisplay(display);
}

TEST_F(Desktop, ASilenceReleasesHeldKeys) {
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

TEST(DesktopOptions, RefusedOrWithoutADisplay) {
  using tapline::testing::run_program;
  ProgramResult result = run_program(kDevice, {"--channel", "2"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("need --inject x11"), std::string::npos) << result.err;
  EXPECT_EQ(run_program(kDevice, {"--inject", "x11", "--altcodes", "utf8"}).status, 2);
  EXPECT_EQ(run_program(kDevice, {"--inject", "x11", "--channel", "4"}).status, 2);
  EXPECT_EQ(run_program(kDevice, {"--inject", "x11", "--release-after", "-5"}).status, 2);
  EXPECT_EQ(run_program(kDevice, {"--inject", "wayland"}).status, 2);

  // No display: the device says so and never listens.
  result = run_program(kDevice, {"--inject", "x11", "--listen", "127.0.0.1:0"}, {"DISPLAY="});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "tapline-device: --inject x11: cannot open an X display: DISPLAY is not set\n");

  result = run_program(kDevice, {"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("--altcodes MODE"), std::string::npos);
}

}  // namespace
