// SetClipBoard and GetClipBoard against xclip, the other clipboard client, on a private X
// server. Text set by a script must outlive the process that set it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
// Xlib's macros (None, Bool...) collide with test-framework names: X comes after it.
#include <X11/Xlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"
#include "script_state.h"
#include "xvfb.h"

namespace {

using tapline::testing::eventually;
using tapline::testing::lua_quoted;
using Script = tapline::testing::ScriptState;
using tapline::testing::shell_output;

std::string file_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The serving processes on the X display `name`: named tapline-clipboard, with the display
// in their environment (where this test's user may read it).
std::vector<std::string> serving_processes(const std::string& name) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string folder = entry.path().string();
    if (file_text(folder + "/comm") != "tapline-clipboa\n") continue;
    const std::string environment = '\0' + file_text(folder + "/environ");
    if (environment.find(std::string(1, '\0') + "DISPLAY=" + name + '\0') != std::string::npos)
      found.push_back(folder);
  }
  return found;
}

// A field of /proc/PID/smaps_rollup, in kB.
long memory_kb(const std::string& process, const std::string& field) {
  std::istringstream rollup(file_text(process + "/smaps_rollup"));
  for (std::string line; std::getline(rollup, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// Ending the suite's server also ends every clipboard-serving process left on it.
class Clipboard : public tapline::testing::XvfbSuite {
 protected:
  // Runs the chunk in a child process that then exits, as a script run would.
  static void run_in_exiting_process(const std::string& code) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 1;
      {
        Script script;
        status = luaL_dostring(script.get(), code.c_str()) == LUA_OK ? 0 : 1;
      }
      _exit(status);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  static std::string xclip_output(const char* target = "UTF8_STRING") {
    return shell_output(std::string("xclip -selection clipboard -o -t ") + target + " 2>/dev/null");
  }

  static Window clipboard_owner() {
    Display* display = XOpenDisplay(display_name().c_str());
    const Window owner = XGetSelectionOwner(display, XInternAtom(display, "CLIPBOARD", False));
    XCloseDisplay(display);
    return owner;
  }

  // xclip serves from a background process that takes the clipboard after the command has
  // returned: the new owner is waited for.
  static void xclip_input(const std::string& text, const char* target = "UTF8_STRING") {
    const Window previous_owner = clipboard_owner();
    char path[] = "/tmp/tapline-clip-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    const std::string command = std::string("xclip -selection clipboard -i -t ") + target + " < " +
                                path + " > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::remove(path);
    ASSERT_TRUE(eventually([&] { return clipboard_owner() != previous_owner; }));
  }

  std::string get_clipboard() { return script.text("return GetClipBoard()"); }

  // Reads the clipboard's text as a reader that takes it in pieces (INCR), running
  // `after_first_piece` once the first piece has come; what came before the owner fell
  // silent for five seconds when it does.
  static std::string read_in_pieces(const std::function<void()>& after_first_piece) {
    Display* display = XOpenDisplay(display_name().c_str());
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display, window, PropertyChangeMask);
    const Atom property = XInternAtom(display, "PIECES", False);
    const Atom incr = XInternAtom(display, "INCR", False);
    XConvertSelection(display, XInternAtom(display, "CLIPBOARD", False),
                      XInternAtom(display, "UTF8_STRING", False), property, window, CurrentTime);
    XFlush(display);
    std::string text;
    bool in_pieces = false;
    for (;;) {
      pollfd events{ConnectionNumber(display), POLLIN, 0};
      if (XPending(display) == 0 && poll(&events, 1, 5000) != 1) break;
      XEvent event;
      XNextEvent(display, &event);
      const bool piece = event.type == PropertyNotify && event.xproperty.atom == property &&
                         event.xproperty.state == PropertyNewValue && in_pieces;
      if (event.type != SelectionNotify && !piece) continue;
      Atom type = None;
      int format = 0;
      unsigned long count = 0, after = 0;
      unsigned char* data = nullptr;
      // Deleting the property asks for the next piece.
      XGetWindowProperty(display, window, property, 0, LONG_MAX / 4, True, AnyPropertyType, &type,
                         &format, &count, &after, &data);
      if (data != nullptr) {
        if (piece) text.append(reinterpret_cast<const char*>(data), count);
        XFree(data);
      }
      if (event.type == SelectionNotify) in_pieces = type == incr;
      if (!in_pieces || (piece && count == 0)) break;
      if (piece && text.size() == count) after_first_piece();
    }
    XCloseDisplay(display);
    return text;
  }

  Script script;
};

const std::string kText = "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93 \t\r\nsecond line";

TEST_F(Clipboard, TextSetByAScriptIsReadByXclipAfterTheScriptHasEnded) {
  run_in_exiting_process("SetClipBoard(" + lua_quoted(kText) + ")");
  EXPECT_EQ(xclip_output(), kText);
  EXPECT_EQ(xclip_output("STRING"), "h\xE9llo w\xF6rld  \t\r\nsecond line");  // Latin-1
  EXPECT_EQ(get_clipboard(), kText);
  // The serving process is named for what it is, not like the script that ended.
  Display* display = XOpenDisplay(display_name().c_str());
  char* title = nullptr;
  ASSERT_NE(XFetchName(display, clipboard_owner(), &title), 0);
  EXPECT_STREQ(title, "tapline-clipboard");
  XFree(title);
  XCloseDisplay(display);
  EXPECT_TRUE(eventually([] {
    return shell_output(
               "for p in /proc/[0-9]*; do head -c 18 $p/cmdline 2>/dev/null | "
               "tr '\\0' ' '; echo; done")
               .find("tapline-clipboard \n") != std::string::npos;
  }));
}

TEST_F(Clipboard, TextSetByXclipIsRead) {
  xclip_input(kText);
  EXPECT_EQ(get_clipboard(), kText);
}

TEST_F(Clipboard, Latin1TextIsConverted) {
  xclip_input("caf\xE9", "STRING");
  EXPECT_EQ(get_clipboard(), "caf\xC3\xA9");
}

TEST_F(Clipboard, LargeTextsGoInPiecesBothWays) {
  std::string big;
  for (int i = 0; big.size() < 3'000'000; ++i) big += "line " + std::to_string(i) + "\n";
  {
    std::ofstream file("/tmp/tapline-clip-big.lua");
    file << "local f = io.open('/tmp/tapline-clip-big.txt', 'rb') SetClipBoard(f:read('a'))";
  }
  std::ofstream("/tmp/tapline-clip-big.txt", std::ios::binary) << big;
  run_in_exiting_process("dofile('/tmp/tapline-clip-big.lua')");
  const std::string read_by_xclip = xclip_output();
  EXPECT_EQ(read_by_xclip.size(), big.size());
  EXPECT_TRUE(read_by_xclip == big);
  // A reader still reading when another program takes the clipboard gets all of it.
  const std::string read_on = read_in_pieces([] { xclip_input("taken"); });
  EXPECT_EQ(read_on.size(), big.size());
  EXPECT_EQ(xclip_output(), "taken");

  xclip_input(big + "more");
  const std::string read_by_us = get_clipboard();
  EXPECT_EQ(read_by_us.size(), big.size() + 4);
  EXPECT_TRUE(read_by_us == big + "more");
  std::remove("/tmp/tapline-clip-big.lua");
  std::remove("/tmp/tapline-clip-big.txt");
}

TEST_F(Clipboard, TheLastSetWinsAndIsReadInTheSameScript) {
  EXPECT_EQ(script.text("SetClipBoard('first') SetClipBoard(42) return GetClipBoard()"), "42");
  EXPECT_EQ(xclip_output(), "42");
}

TEST_F(Clipboard, AZeroByteEndsTheText) {
  script.run("SetClipBoard('ab\\0cd')");
  EXPECT_EQ(xclip_output(), "ab");
  xclip_input(std::string("xy\0z", 4));
  EXPECT_EQ(get_clipboard(), "xy");
}

TEST_F(Clipboard, SettingNothingLeavesTheClipboardAlone) {
  xclip_input("kept");
  ::testing::internal::CaptureStderr();
  script.run("SetClipBoard() SetClipBoard({})");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("SetClipBoard: no text given"), std::string::npos) << err;
  EXPECT_EQ(get_clipboard(), "kept");
}

TEST_F(Clipboard, AnEmptyClipboardReadsAsEmptyText) {
  // A clipboard whose owner has gone has no owner at all.
  Display* other = XOpenDisplay(display_name().c_str());
  ASSERT_NE(other, nullptr);
  const Window window = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(other, XInternAtom(other, "CLIPBOARD", False), window, CurrentTime);
  XCloseDisplay(other);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(get_clipboard(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Clipboard, AnOwnerThatNeverAnswersGivesEmptyTextAndOneLine) {
  Display* silent = XOpenDisplay(display_name().c_str());
  ASSERT_NE(silent, nullptr);
  const Window window = XCreateSimpleWindow(silent, DefaultRootWindow(silent), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(silent, XInternAtom(silent, "CLIPBOARD", False), window, CurrentTime);
  XSync(silent, False);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(get_clipboard(), "");
  const std::string err = ::testing::internal::GetCapturedStderr();
  XCloseDisplay(silent);
  EXPECT_EQ(err, "tapline: the clipboard's owner did not answer; no clipboard text\n");
}

TEST_F(Clipboard, WithoutADisplayBothSayWhyAndGoOn) {
  const std::string display = display_name();
  setenv("DISPLAY", ":tapline-no-such-display", 1);
  ::testing::internal::CaptureStderr();
  const std::string text = script.text("SetClipBoard('x') return GetClipBoard()");
  const std::string err = ::testing::internal::GetCapturedStderr();
  setenv("DISPLAY", display.c_str(), 1);
  EXPECT_EQ(text, "");
  EXPECT_NE(err.find("tapline: cannot open the X11 display; clipboard not set"), std::string::npos)
      << err;
  EXPECT_NE(err.find("tapline: cannot open the X11 display; no clipboard text"), std::string::npos)
      << err;
}

// The serving process is a program image of its own: it holds none of the script's memory
// (here a large buffer, as screen captures leave) and none of its descriptors.
TEST_F(Clipboard, TheServingProcessHoldsNothingOfTheScript) {
  std::vector<char> screens(128 << 20, 1);
  const std::vector<std::string> before = serving_processes(display_name());
  script.run("SetClipBoard('word')");
  std::vector<std::string> started = serving_processes(display_name());
  std::erase_if(started, [&](const std::string& process) {
    return std::find(before.begin(), before.end(), process) != before.end();
  });
  ASSERT_EQ(started.size(), 1u);
  const std::string& server = started[0];
  EXPECT_EQ(file_text(server + "/cmdline").substr(0, 18), std::string("tapline-clipboard\0", 18));
  for (const char* stream : {"/fd/0", "/fd/1", "/fd/2"})
    EXPECT_EQ(std::filesystem::read_symlink(server + stream), "/dev/null") << stream;
  const long anonymous = memory_kb(server, "Anonymous");
  EXPECT_GE(anonymous, 0);
  EXPECT_LT(anonymous, static_cast<long>(screens.size() / 8 / 1024));
  EXPECT_EQ(xclip_output(), "word");
}

// A serving process that gets no answer from the X server is ended before SetClipBoard
// returns: none is left to take the clipboard once the server answers again.
TEST_F(Clipboard, AnXServerThatDoesNotAnswerLeavesNoServingProcess) {
  tapline::testing::XvfbServer frozen("320x200x24");
  ASSERT_EQ(kill(frozen.pid(), SIGSTOP), 0);
  const std::string display = display_name();
  setenv("DISPLAY", frozen.name().c_str(), 1);
  ::testing::internal::CaptureStderr();
  script.run("SetClipBoard('late')");
  const std::string err = ::testing::internal::GetCapturedStderr();
  setenv("DISPLAY", display.c_str(), 1);
  EXPECT_TRUE(serving_processes(frozen.name()).empty());
  kill(frozen.pid(), SIGCONT);
  EXPECT_EQ(err, "tapline: the X11 display did not answer in time; clipboard not set\n");
}

}  // namespace
