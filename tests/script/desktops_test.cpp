// GetWindowPos, SetWindowPos, SetClipBoard and GetClipBoard on desktops whose window
// manager or compositor has the say: the console program run against a private headless
// sway, with a Wayland window (foot), an Xwayland window (xmessage) and the wl-clipboard
// tools as the other clipboard client; and against i3 on a private X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
// Xlib's macros (None, Bool...) collide with test-framework names: X comes after it.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "child_process.h"
#include "program_run.h"
#include "sway.h"
#include "xvfb.h"

namespace {

using tapline::testing::eventually;
using tapline::testing::lua_quoted;
using tapline::testing::ProgramResult;
using tapline::testing::run_program;
using tapline::testing::run_tapline_script;
using tapline::testing::shell_output;
using tapline::testing::SwayOptions;
using tapline::testing::SwayServer;

bool on_path(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string missing_program(std::initializer_list<const char*> programs) {
  for (const char* program : programs)
    if (!on_path(program))
      return std::string(program) + " is not installed (scripts/install-deps installs it)";
  return {};
}

std::string sway_missing(std::initializer_list<const char*> programs) {
  const std::string reason = SwayServer::skip_reason();
  return reason.empty() ? missing_program(programs) : reason;
}

class SwayDesktop : public ::testing::Test {
 protected:
  void start(const SwayOptions& options) {
    sway = std::make_unique<SwayServer>(options);
    environment = sway->client_environment();
    environment.push_back("DISPLAY=");
  }

  // What the script passes to put(...) (one line per call, values joined by spaces); its
  // standard error must hold exactly `diagnostics`.
  std::string run(const std::string& script, const std::string& diagnostics = "") {
    const tapline::testing::TempDir folder;
    const std::string results = folder.file("results");
    const ProgramResult result = run_tapline_script(
        "local out = assert(io.open('" + results +
            "', 'w')) "
            "function put(...) local t = {} for i = 1, select('#', ...) do "
            "t[i] = tostring((select(i, ...))) end out:write(table.concat(t, ' '), '\\n') end " +
            script,
        environment);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, diagnostics);
    return shell_output("cat '" + results + "'");
  }

  ProgramResult wl(const char* program, const std::vector<std::string>& args) {
    return run_program(program, args, environment);
  }

  std::unique_ptr<SwayServer> sway;
  std::vector<std::string> environment;
};

// The window manager writes a slash in a title as an escape.
const std::string kWaylandTitle = "Wayland fen\xC3\xAAtre \xE2\x9C\x93 ~/src";

TEST_F(SwayDesktop, WaylandAndXwaylandWindowsAreFoundAndPlacedByTheirOuterFrame) {
  if (auto reason = sway_missing({"foot", "xmessage"}); !reason.empty()) GTEST_SKIP() << reason;
  SwayOptions options;
  options.xwayland = true;
  start(options);
  // Started by the compositor, as its own user and with its environment. foot runs a command
  // of its own: that user's login shell refuses to run and would close the window at once.
  sway->swaymsg({"exec", "foot -T '" + kWaylandTitle + "' sleep 600"});
  sway->swaymsg({"exec", "xmessage -title 'X11 window' 'on Xwayland'"});
  std::string tree;
  ASSERT_TRUE(eventually(
      [&] {
        tree = sway->swaymsg({"-t", "get_tree"});
        return tree.find("Wayland fen") != std::string::npos &&
               tree.find("X11 window") != std::string::npos;
      },
      1000))
      << tree;

  const std::string found = run(R"(
    local function show(title) put(table.concat({GetWindowPos(title)}, " ", 1, 4)) end
    show(')" + kWaylandTitle + R"(')
    show('X11 window')
    show('no such window')
    local _, _, _, _, wayland = GetWindowPos(')" +
                                kWaylandTitle + R"(')
    local _, _, _, _, x11 = GetWindowPos('X11 window')
    local _, _, _, _, any = GetWindowPos()
    put(wayland > 0 and x11 > 0 and wayland ~= x11, any == wayland or any == x11)
    SetWindowPos(wayland, 30, 40)
    SetWindowPos(x11, 700, 300)
    show(')" + kWaylandTitle + R"(')
    show('X11 window')
    put(select(5, GetWindowPos(')" +
                                kWaylandTitle + R"(')) == wayland,
        select(5, GetWindowPos('X11 window')) == x11)
  )");
  // Tiled side by side (in the order they appeared), the outer frames, title bars included,
  // share the output; placed, each frame's corner is where it was put and each window keeps
  // its handle.
  const bool wayland_first = found.rfind("0 0 640 720\n", 0) == 0;
  const std::string tiled =
      wayland_first ? "0 0 640 720\n640 0 640 720\n" : "640 0 640 720\n0 0 640 720\n";
  EXPECT_EQ(found.substr(0, found.find("-1")), tiled) << found;
  EXPECT_NE(found.find("-1 -1 -1 -1\ntrue true\n30 40 "), std::string::npos) << found;
  EXPECT_NE(found.find("\n700 300 "), std::string::npos) << found;
  EXPECT_NE(found.find("\ntrue true\n", found.find("700 300")), std::string::npos) << found;

  EXPECT_EQ(run_tapline_script("SetWindowPos(987654, 1, 2)", environment).err,
            "SetWindowPos: no window 987654\n");
}

const std::string kText = "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93 \t\r\nsecond line";

// The serving processes that offer a clipboard text on this compositor.
std::string servers_of(const SwayServer& sway) {
  return shell_output("grep -lsz 'WAYLAND_DISPLAY=" + sway.wayland_display() +
                      "' /proc/[0-9]*/environ | while read e; do "
                      "tr '\\0' ' ' < ${e%environ}cmdline; echo; done | grep tapline-clipboard");
}

TEST_F(SwayDesktop, TheClipboardIsSharedWithWaylandProgramsAndOutlivesTheScript) {
  if (auto reason = sway_missing({"wl-copy", "wl-paste"}); !reason.empty()) GTEST_SKIP() << reason;
  start({});
  EXPECT_EQ(run("put('[' .. GetClipBoard() .. ']')"), "[]\n");

  run("SetClipBoard(" + lua_quoted(kText) + ")");
  EXPECT_EQ(wl("wl-paste", {"--no-newline"}).out, kText);
  EXPECT_EQ(wl("wl-paste", {"--no-newline", "--type", "STRING"}).out,
            "h\xE9llo w\xF6rld  \t\r\nsecond line");  // Latin-1
  EXPECT_EQ(run("put(GetClipBoard())"), kText + "\n");
  EXPECT_NE(servers_of(*sway), "");

  // Larger than a pipe holds, so the text goes to the reader in pieces.
  std::string big;
  for (int i = 0; big.size() < 1'000'000; ++i) big += "line " + std::to_string(i) + "\n";
  run("local t, size, i = {}, 0, 0 while size < 1000000 do local line = 'line ' .. i .. '\\n' "
      "t[#t + 1], size, i = line, size + #line, i + 1 end SetClipBoard(table.concat(t))");
  EXPECT_EQ(wl("wl-paste", {"--no-newline"}).out, big);

  // A reader that has read one byte and pauses: the text stays half sent while another
  // program takes the clipboard.
  const tapline::testing::TempDir folder;
  const std::string got = folder.file("got"), reading = folder.file("reading");
  std::string variables;
  for (const std::string& variable : environment) variables += "'" + variable + "' ";
  shell_output("env " + variables +
               "sh -c 'wl-paste --no-newline | { dd bs=1 count=1 2>/dev/null; " + "touch " +
               reading + "; sleep 1; cat; } >" + got + ".part; mv " + got + ".part " + got +
               "' >/dev/null 2>&1 &");
  ASSERT_TRUE(eventually([&] { return access(reading.c_str(), F_OK) == 0; }));

  // Taken by another program, the text is no longer served, but a reader still reading it
  // gets all of it.
  ASSERT_EQ(wl("wl-copy", {"\xE4\xB8\xAD\xE6\x96\x87 from wl-copy"}).status, 0);
  EXPECT_EQ(run("put(GetClipBoard())"), "\xE4\xB8\xAD\xE6\x96\x87 from wl-copy\n");
  ASSERT_TRUE(eventually([&] { return access(got.c_str(), F_OK) == 0; }));
  const std::string read_on = shell_output("cat '" + got + "'");
  EXPECT_TRUE(read_on == big) << read_on.size() << " of " << big.size() << " bytes";
  EXPECT_TRUE(eventually([&] { return servers_of(*sway).empty(); }));
}

// A compositor that does not answer (stopped here by the script itself) leaves the clipboard
// unset, and no serving process that would take it once the compositor answers again.
TEST_F(SwayDesktop, AFrozenCompositorLeavesNoServingProcessBehind) {
  if (auto reason = sway_missing({"wl-paste"}); !reason.empty()) GTEST_SKIP() << reason;
  start({});
  const std::string pid = std::to_string(sway->pid());
  EXPECT_EQ(run("GetClipBoard() os.execute('kill -STOP " + pid +
                    "') SetClipBoard('late') "
                    "os.execute('kill -CONT " +
                    pid + "') put('set')",
                "tapline: the Wayland display did not answer in time; clipboard not set\n"),
            "set\n");
  kill(sway->pid(), SIGCONT);  // also when the script did not get that far
  EXPECT_EQ(servers_of(*sway), "");
  EXPECT_EQ(wl("wl-paste", {"--no-newline"}).out, "");
}

// i3 keeps the title bar inside a window's rectangle, where sway keeps it outside.
TEST(I3Desktop, WindowsAreFoundAndPlacedByTheirOuterFrame) {
  if (auto reason = missing_program({"i3", "i3-msg"}); !reason.empty()) GTEST_SKIP() << reason;
  tapline::testing::XvfbServer x_server("1280x720x24");
  const tapline::testing::TempDir folder;
  const std::string socket = folder.file("i3.sock");
  const std::string config = folder.write("config", "ipc-socket " + socket + "\n");
  tapline::testing::ChildOptions options;
  options.environment = {"DISPLAY=" + x_server.name()};
  options.out = options.err = tapline::testing::ChildOutput::Discard;
  tapline::testing::ChildProcess i3({"i3", "-c", config}, options);

  Display* client = XOpenDisplay(x_server.name().c_str());
  ASSERT_NE(client, nullptr);
  Window first = 0;
  for (const char* title : {"first", "second"}) {
    const Window window =
        XCreateSimpleWindow(client, DefaultRootWindow(client), 0, 0, 200, 100, 0, 0, 0);
    XStoreName(client, window, title);
    XMapWindow(client, window);
    if (first == 0) first = window;
  }
  XSync(client, False);
  EXPECT_TRUE(eventually([&] {
    return shell_output("i3-msg -s " + socket + " -t get_tree 2>/dev/null").find("second") !=
           std::string::npos;
  }));
  const std::vector<std::string> environment = {"DISPLAY=" + x_server.name(), "I3SOCK=" + socket,
                                                "SWAYSOCK=", "WAYLAND_DISPLAY="};
  const ProgramResult result = run_tapline_script(
      R"(
    local function show(title) io.stderr:write(table.concat({GetWindowPos(title)}, " ", 1, 4), "\n") end
    show('first')
    show('second')
    SetWindowPos(select(5, GetWindowPos('first')), 100, 50)
    show('first')
  )",
      environment);
  const std::string lines = result.err;
  // Tiled side by side below nothing: the frames start at the top of the screen.
  EXPECT_EQ(lines.substr(0, lines.find("100 50 ")).find("0 0 640 "), 0u) << lines;
  EXPECT_NE(lines.find("\n640 0 640 "), std::string::npos) << lines;
  ASSERT_NE(lines.find("\n100 50 "), std::string::npos) << lines;
  int width = 0, height = 0;
  ASSERT_EQ(std::sscanf(lines.c_str() + lines.find("\n100 50 "), "\n100 50 %d %d", &width, &height),
            2);
  // The client window, as the X server has it, sits inside that frame: equal borders left,
  // right and below, the title bar above.
  Window root = 0, child = 0;
  int x = 0, y = 0;
  unsigned int client_width = 0, client_height = 0, border = 0, depth = 0;
  XGetGeometry(client, first, &root, &x, &y, &client_width, &client_height, &border, &depth);
  XTranslateCoordinates(client, first, root, 0, 0, &x, &y, &child);
  const int side = x - 100;
  EXPECT_EQ(width, static_cast<int>(client_width) + 2 * side);
  EXPECT_GT(y - 50, side);
  EXPECT_EQ(height, (y - 50) + static_cast<int>(client_height) + side);
  XCloseDisplay(client);

  EXPECT_EQ(run_tapline_script("SetWindowPos(987654, 1, 2)", environment).err,
            "SetWindowPos: no window 987654\n");
}

// A window manager that cannot be reached is said once per call, and nothing else is
// claimed about the window.
TEST(UnreachableWindowManager, EachCallSaysWhyAndNothingMore) {
  const tapline::testing::TempDir folder;
  const std::string socket = folder.file("gone.sock");
  const std::string said = "tapline: cannot reach the window manager's IPC socket " + socket +
                           ": No such file or directory\n";
  const ProgramResult result =
      run_tapline_script("io.write(table.concat({GetWindowPos('a')}, ' ')) SetWindowPos(5, 1, 2)",
                         {"I3SOCK=" + socket, "SWAYSOCK=", "TAPLINE_DESKTOP="});
  EXPECT_NE(result.out.find("-1 -1 -1 -1 0"), std::string::npos) << result.out;
  EXPECT_EQ(result.err, said + said);
}

TEST(UnreachableWindowManager, AScriptOutOfDescriptorsIsToldSo) {
  if (auto reason = missing_program({"prlimit"}); !reason.empty()) GTEST_SKIP() << reason;
  // The first call has descriptors to spare (the sanitizers' checks need some too).
  const tapline::testing::TempFile script(
      "GetWindowPos('a') local open = {} while true do local f = io.open('/dev/null') "
      "if not f then break end open[#open + 1] = f end GetWindowPos('a') "
      "for _, f in ipairs(open) do f:close() end");
  const ProgramResult result = run_program(
      "prlimit",
      {"--nofile=64", tapline::testing::tapline_binary(), script.path(), "net", "127.0.0.1", "9"},
      {"I3SOCK=/run/no-such.sock", "SWAYSOCK=", "TAPLINE_DESKTOP="});
  const std::string cannot =
      "tapline: cannot reach the window manager's IPC socket /run/no-such.sock: ";
  EXPECT_EQ(result.err, cannot + "No such file or directory\n" + cannot + "Too many open files\n");
}

// Where neither service has a Wayland way, each says so once and uses X11.
#if defined(TAPLINE_WITH_WAYLAND) && defined(TAPLINE_WITH_GNOME)
const std::string kNoWaylandClipboard =
    "tapline: wlroots data control: cannot connect to the Wayland display wayland-0; GNOME "
    "remote desktop: cannot reach the session bus (No such file or directory); the clipboard "
    "is the X11 one\n";
#elif defined(TAPLINE_WITH_WAYLAND)
const std::string kNoWaylandClipboard =
    "tapline: cannot connect to the Wayland display wayland-0; the clipboard is the X11 one\n";
#else
const std::string kNoWaylandClipboard =
    "tapline: this build has no Wayland clipboard; the clipboard is the X11 one\n";
#endif
TEST(WaylandWithoutDesktopServices, EachServiceSaysOnceThatItFallsBackToX11) {
  const ProgramResult result = run_tapline_script(
      "GetWindowPos('a') GetWindowPos('b') GetClipBoard() GetClipBoard()",
      {"WAYLAND_DISPLAY=/nonexistent/wayland-0", "SWAYSOCK=", "I3SOCK=", "DISPLAY=:999",
       "TAPLINE_DESKTOP=", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"});
  EXPECT_EQ(result.err,
            "tapline: this Wayland desktop lists its windows to no other program: GetWindowPos "
            "and SetWindowPos reach only X11 (Xwayland) windows\n"
            "tapline: no X11 display at :999; screen, cursor and key state are "
            "unavailable\n" +
                kNoWaylandClipboard +
                "tapline: cannot open the X11 display; no clipboard text\n"
                "tapline: cannot open the X11 display; no clipboard text\n");
}

}  // namespace
