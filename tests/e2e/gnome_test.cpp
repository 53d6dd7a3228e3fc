// GNOME end to end on a private headless GNOME Shell 43 with our extension enabled: a GTK 3
// window (tests/clients/gtk_window.py) reports what reaches it from the device
// (--inject auto), from SetClipBoard and SetWindowPos, and serves its own clipboard to
// GetClipBoard; then, with the extension turned off, the one notice that says how to
// enable it. An X11 window under the Shell's Xwayland is placed through the extension too.
// Both formats of the extension at least parse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "gnome_shell.h"
#include "program_run.h"

namespace {

using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::GnomeShellServer;
using tapline::testing::ListeningDevice;
using tapline::testing::ProgramResult;
using tapline::testing::TempDir;
using tapline::testing::TempFile;

const std::string kSource = TAPLINE_SOURCE_DIR;

// True when the run's output holds `text` (what the script wrote, amid the run's lines).
bool wrote(const ProgramResult& run, const std::string& text) {
  return run.out.find(text) != std::string::npos;
}

bool installed(const std::string& what) { return std::system(what.c_str()) == 0; }

class GnomeDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = GnomeShellServer::skip_reason(); !reason.empty())
      GTEST_SKIP() << reason;
    if (!installed(
            "/usr/bin/python3 -c 'import gi; gi.require_version(\"Gtk\", \"3.0\")' 2>/dev/null"))
      GTEST_SKIP() << "GTK 3 for Python is not installed (scripts/install-deps installs it)";
    shell_ = std::make_unique<GnomeShellServer>();
    environment_ = shell_->client_environment();
    environment_.push_back("LC_ALL=C.UTF-8");
    commands_path_ = folder_.directory() + "/commands";
    ASSERT_EQ(mkfifo(commands_path_.c_str(), 0600), 0);
    commands_ = open(commands_path_.c_str(), O_RDWR | O_CLOEXEC);
    ChildOptions options;
    options.environment = environment_;
    options.err = ChildOutput::Inherit;
    client_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", kSource + "/tests/clients/gtk_window.py",
                                 "Probe", commands_path_},
        options);
    ASSERT_EQ(next_line("ready"), "ready");
  }
  void TearDown() override {
    if (commands_ >= 0) close(commands_);
  }

  void command(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(write(commands_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  std::string next_line(const std::string& prefix) {
    for (;;) {
      bool ok = false;
      std::string line = client_->out_line(ok);
      if (!ok) return "(none: no line starting \"" + prefix + "\")";
      if (line.rfind(prefix, 0) == 0) return line;
    }
  }
  ProgramResult run_script(const std::string& script, const std::string& port = "9") {
    TempFile file(script);
    return tapline::testing::run_program(tapline::testing::tapline_binary(),
                                         {file.path(), "net", "127.0.0.1", port}, environment_);
  }

  TempDir folder_;
  std::unique_ptr<GnomeShellServer> shell_;
  std::vector<std::string> environment_;
  std::string commands_path_;
  int commands_ = -1;
  std::unique_ptr<ChildProcess> client_;
};

TEST_F(GnomeDesktop, DeviceClipboardAndWindowsThroughTheShell) {
  ChildOptions device_options;
  device_options.out = ChildOutput::Discard;
  device_options.environment = environment_;
  ListeningDevice device(tapline::testing::device_binary(), {"--inject", "auto"}, device_options);
  ASSERT_GT(device.port(), 0);
  const std::string port = std::to_string(device.port());

  // The Shell starts in its overview: Escape closes it and the window takes the keyboard.
  ProgramResult placed = run_script(R"(
    KeyPress("Esc")
    Delay(300)
    local _, _, _, _, window = GetWindowPos("Probe")
    SetWindowPos(window, 200, 150)
    local x, y = GetWindowPos("Probe")
    io.write(x, " ", y)
  )",
                                    port);
  EXPECT_TRUE(wrote(placed, "200 150")) << placed.out << placed.err;

  // Keys, Alt-code characters (committed through the extension), a click, the wheel and a
  // drag at desktop positions inside the window.
  const ProgramResult typed = run_script(R"(
    SayString("Hi!")
    SayString("é中")
    MoveTo(400, 300)
    LeftClick()
    MouseWheel(-1)
    LeftDown()
    MoveTo(420, 310)
    LeftUp()
  )",
                                         port);
  EXPECT_EQ(typed.status, 0) << typed.err;
  EXPECT_EQ(next_line("text Hi!é中"), "text Hi!é中");
  const std::string click = next_line("button 1");
  EXPECT_EQ(next_line("scroll"), "scroll down");
  EXPECT_NE(next_line("release 1"), "(none: no line starting \"release 1\")") << click;

  // The clipboard both ways, across runs, non-ASCII and 1 MB.
  EXPECT_EQ(run_script("SetClipBoard('naïve 中 ✓')").status, 0);
  command("paste");
  EXPECT_EQ(next_line("pasted"), "pasted naïve 中 ✓");
  command("copy from GTK é");
  command("paste");  // answered once the copy has been made
  EXPECT_EQ(next_line("pasted"), "pasted from GTK é");
  EXPECT_TRUE(wrote(run_script("io.write('[', GetClipBoard(), ']')"), "[from GTK é]"));
  const std::string big(1 << 20, 'x');
  std::ofstream(folder_.directory() + "/big") << big << "é";
  EXPECT_EQ(
      run_script("local f = io.open('" + folder_.directory() + "/big') SetClipBoard(f:read('a'))")
          .status,
      0);
  command("paste-file " + folder_.directory() + "/pasted");
  next_line("pasted-file");
  std::ifstream pasted(folder_.directory() + "/pasted");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(pasted), {}), big + "é");
  EXPECT_TRUE(wrote(run_script("io.write('[', #GetClipBoard(), ']')"),
                    "[" + std::to_string(big.size() + 2) + "]"));

  // A stop releases what the host still holds.
  run_script("MoveTo(400, 300) LeftDown()", port);
  EXPECT_EQ(next_line("button 1"), "button 1 " + click.substr(9));
  EXPECT_EQ(device.end(SIGTERM), 0);
  EXPECT_NE(next_line("release 1"), "(none: no line starting \"release 1\")");
  EXPECT_NE(device.rest_of_err().find("--inject auto: gnome"), std::string::npos);

  // Without the extension: one notice with the command that enables it.
  ASSERT_TRUE(shell_->disable_extension());
  const ProgramResult without = run_script("io.write(tostring(GetWindowPos('Probe')))");
  EXPECT_NE(without.err.find("gnome-extensions enable tapline-windows@tapline.invalid"),
            std::string::npos)
      << without.err;
}

// Where X11 puts the window named `title`: its absolute upper-left corner as xwininfo
// reports it with `x11` (DISPLAY, XAUTHORITY) ("x y"), empty when there is no such window.
std::string x11_position(const std::vector<std::string>& x11, const std::string& title) {
  const ProgramResult info = tapline::testing::run_program("xwininfo", {"-name", title}, x11);
  std::istringstream lines(info.out);
  std::string x, y;
  for (std::string line; std::getline(lines, line);) {
    if (const size_t at = line.find("Absolute upper-left X:"); at != std::string::npos)
      x = line.substr(line.find_first_not_of(' ', at + 22));
    if (const size_t at = line.find("Absolute upper-left Y:"); at != std::string::npos)
      y = line.substr(line.find_first_not_of(' ', at + 22));
  }
  return x.empty() || y.empty() ? std::string() : x + " " + y;
}

TEST(GnomeXwayland, WindowPositionOfAnX11WindowThroughTheExtension) {
  if (const std::string reason = GnomeShellServer::skip_reason(); !reason.empty())
    GTEST_SKIP() << reason;
  if (!installed(
          "{ command -v Xwayland && command -v xmessage && command -v xwininfo; } >/dev/null"))
    GTEST_SKIP() << "Xwayland, xmessage or xwininfo is not installed";
  GnomeShellServer shell(/*xwayland=*/true);
  ASSERT_FALSE(shell.x11_display().empty());
  // tapline itself gets no DISPLAY: the window goes through the Shell and our extension.
  std::vector<std::string> environment = shell.client_environment();
  environment.push_back("LC_ALL=C.UTF-8");
  std::vector<std::string> x11_environment = environment;
  std::erase_if(x11_environment,
                [](const std::string& entry) { return entry.rfind("DISPLAY=", 0) == 0; });
  for (const std::string& entry : shell.x11_environment()) x11_environment.push_back(entry);
  ChildOptions options;
  options.environment = x11_environment;
  options.out = ChildOutput::Discard;
  options.err = ChildOutput::Discard;
  // A position of its own (USPosition): without one the Shell placed the window a second
  // time after listing it, once after the test's move.
  ChildProcess window({"xmessage", "-title", "X11 Probe", "-geometry", "+40+60", "an X11 window"},
                      options);
  std::string before;
  ASSERT_TRUE(tapline::testing::eventually([&] {
    before = x11_position(shell.x11_environment(), "X11 Probe");
    return !before.empty();
  })) << "xmessage made no window on "
      << shell.x11_display();

  // X11 has the window before the Shell manages it.
  TempFile listed("io.write('[', GetWindowPos('X11 Probe'), ']')");
  std::string found;
  tapline::testing::eventually(
      [&] {
        found = tapline::testing::run_program(tapline::testing::tapline_binary(),
                                              {listed.path(), "net", "127.0.0.1", "9"}, environment)
                    .out;
        return found.find("[-1]") == std::string::npos;
      },
      100);
  ASSERT_EQ(found.find("[-1]"), std::string::npos) << found;
  before = x11_position(shell.x11_environment(), "X11 Probe");  // now in the Shell's frame

  TempFile script(R"(
    local x, y, w, h, window = GetWindowPos("X11 Probe")
    io.write("[", x, " ", y, "]")
    SetWindowPos(window, 300, 200)
    local x2, y2 = GetWindowPos("X11 Probe")
    io.write("[", x2, " ", y2, "]")
  )");
  const ProgramResult placed = tapline::testing::run_program(
      tapline::testing::tapline_binary(), {script.path(), "net", "127.0.0.1", "9"}, environment);
  // The two "[x y]" the script wrote, amid the run's lines.
  std::vector<int> numbers;
  for (size_t open = placed.out.find('['); open != std::string::npos;
       open = placed.out.find('[', open + 1)) {
    int x = 0, y = 0;
    char close = 0;
    if (std::sscanf(placed.out.c_str() + open, "[%d %d%c", &x, &y, &close) == 3 && close == ']')
      numbers.insert(numbers.end(), {x, y});
  }
  ASSERT_EQ(numbers.size(), 4u) << placed.out << placed.err;
  const int frame_x = numbers[0], frame_y = numbers[1], moved_x = numbers[2], moved_y = numbers[3];
  EXPECT_EQ(moved_x, 300);
  EXPECT_EQ(moved_y, 200);
  ASSERT_NE(frame_x, 300) << "the Shell placed the window where the test moves it";
  // X11 sees the same move: the client window keeps its offset in the frame.
  int client_x = 0, client_y = 0;
  ASSERT_EQ(std::sscanf(before.c_str(), "%d %d", &client_x, &client_y), 2);
  const std::string expected =
      std::to_string(client_x + 300 - frame_x) + " " + std::to_string(client_y + 200 - frame_y);
  std::string after;
  tapline::testing::eventually([&] {
    after = x11_position(shell.x11_environment(), "X11 Probe");
    return after == expected;
  });
  EXPECT_EQ(after, expected) << "before the move: " << before << ", frame " << frame_x << " "
                             << frame_y;
}

TEST(GnomeShellExtension, BothFormatsParse) {
  if (!installed("command -v gjs >/dev/null 2>&1")) GTEST_SKIP() << "gjs is not installed";
  // 43: parsed as a function body, not run; 45: loaded as a module, whose Shell imports
  // exist only inside the Shell, so an import error (not a syntax error) is the success.
  const ProgramResult legacy =
      tapline::testing::run_program("gjs",
                                    {"-c",
                                     "const [, b] = imports.gi.GLib.file_get_contents(ARGV[0]);"
                                     "new Function(new TextDecoder().decode(b)); print('parsed')",
                                     kSource + "/extras/gnome-shell/43/extension.js"},
                                    {});
  EXPECT_EQ(legacy.out, "parsed\n") << legacy.err;
  const ProgramResult module = tapline::testing::run_program(
      "gjs", {"-m", kSource + "/extras/gnome-shell/45/extension.js"}, {});
  EXPECT_EQ(module.err.find("SyntaxError"), std::string::npos) << module.err;
  EXPECT_NE(module.err.find("ImportError"), std::string::npos) << module.err;
}

}  // namespace
