// GetWindowPos, SetWindowPos and beep against windows of a real X server, cross-checked
// with xdotool.
#include <gtest/gtest.h>
#include <unistd.h>
// Xlib's macros (None, Bool...) collide with test-framework names: X comes after it.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <string>

#include "program_run.h"
#include "script_state.h"
#include "xvfb.h"

namespace {

using Script = tapline::testing::ScriptState;
using tapline::testing::shell_output;

struct Position {
  lua_Integer left, top, width, height, handle;
  bool operator==(const Position&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Position& p) {
  return out << p.left << "," << p.top << " " << p.width << "x" << p.height << " #" << p.handle;
}

class Windows : public tapline::testing::XvfbSuite {
 protected:
  void SetUp() override {
    client = XOpenDisplay(display_name().c_str());
    ASSERT_NE(client, nullptr);
  }
  // Closing the test client's connection destroys its windows.
  void TearDown() override {
    if (client) XCloseDisplay(client);
  }

  Window make_window(const char* title, int x, int y, int width, int height, int border = 0,
                     bool mapped = true, Window parent = 0) {
    const Window window = XCreateSimpleWindow(client, parent ? parent : DefaultRootWindow(client),
                                              x, y, width, height, border, 0, 0);
    if (title) XStoreName(client, window, title);
    if (mapped) XMapWindow(client, window);
    XSync(client, False);
    return window;
  }

  void set_utf8_title(Window window, const std::string& title) {
    XChangeProperty(client, window, XInternAtom(client, "_NET_WM_NAME", False),
                    XInternAtom(client, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    XSync(client, False);
  }

  Position get_window_pos(const std::string& lua_arguments) {
    Position p{};
    const int count = script.run("return GetWindowPos(" + lua_arguments + ")");
    EXPECT_EQ(count, 5);
    if (count == 5) {
      lua_State* L = script.get();
      p = {lua_tointeger(L, -5), lua_tointeger(L, -4), lua_tointeger(L, -3), lua_tointeger(L, -2),
           lua_tointeger(L, -1)};
    }
    lua_pop(script.get(), count);
    return p;
  }

  Display* client = nullptr;
  Script script;
};

std::string xdotool_search(const std::string& title) {
  return shell_output("xdotool search --name '^" + title + "$' 2>/dev/null");
}

TEST_F(Windows, GetWindowPosGivesTheRectangleAndTheHandleXdotoolFinds) {
  const Window window = make_window("tapline window A", 10, 20, 300, 200);
  const Position p = get_window_pos("'tapline window A'");
  EXPECT_EQ(p, (Position{10, 20, 300, 200, static_cast<lua_Integer>(window)}));
  EXPECT_EQ(xdotool_search("tapline window A"), std::to_string(p.handle) + "\n");
}

TEST_F(Windows, AWindowNobodyHasIsNotFound) {
  make_window("tapline window A", 10, 20, 300, 200);
  EXPECT_EQ(get_window_pos("'tapline window B'"), (Position{-1, -1, -1, -1, 0}));
  EXPECT_EQ(get_window_pos("'tapline window'"), (Position{-1, -1, -1, -1, 0}));
}

TEST_F(Windows, TheBorderIsPartOfTheRectangle) {
  const Window window = make_window("bordered", 40, 50, 100, 80, 5);
  EXPECT_EQ(get_window_pos("'bordered'"),
            (Position{40, 50, 110, 90, static_cast<lua_Integer>(window)}));
}

TEST_F(Windows, TitlesInUtf8AndInLatin1AreFound) {
  const Window utf8 = make_window(nullptr, 1, 2, 30, 40);
  set_utf8_title(utf8, "Fen\xC3\xAAtre \xE2\x9C\x93");
  const Window latin1 = make_window("caf\xE9", 5, 6, 70, 80);  // WM_NAME is Latin-1
  EXPECT_EQ(get_window_pos("'Fen\\xC3\\xAAtre \\xE2\\x9C\\x93'").handle,
            static_cast<lua_Integer>(utf8));
  EXPECT_EQ(get_window_pos("'caf\\xC3\\xA9'").handle, static_cast<lua_Integer>(latin1));
}

TEST_F(Windows, WithoutATitleTheFirstTitledWindowIsFound) {
  make_window(nullptr, 0, 0, 10, 10);  // untitled, on top
  const Window titled = make_window("some title", 0, 0, 10, 10);
  make_window(nullptr, 0, 0, 10, 10);
  EXPECT_EQ(get_window_pos("").handle, static_cast<lua_Integer>(titled));
}

TEST_F(Windows, AWindowManagersClientListIsUsedWhenPresent) {
  const Window listed = make_window("listed", 0, 0, 10, 10);
  make_window("unlisted", 0, 0, 10, 10);
  const Atom client_list = XInternAtom(client, "_NET_CLIENT_LIST", False);
  const unsigned long ids[] = {listed};
  XChangeProperty(client, DefaultRootWindow(client), client_list, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(ids), 1);
  XSync(client, False);
  const Position found = get_window_pos("'listed'");
  const Position not_found = get_window_pos("'unlisted'");
  XDeleteProperty(client, DefaultRootWindow(client), client_list);
  XSync(client, False);
  EXPECT_EQ(found.handle, static_cast<lua_Integer>(listed));
  EXPECT_EQ(not_found.handle, 0);
}

TEST_F(Windows, AFramedWindowIsFoundBelowItsFrame) {
  // What a reparenting window manager without a client list leaves: an untitled frame
  // holding the application's window, which carries WM_STATE.
  const Window frame = make_window(nullptr, 100, 100, 220, 160);
  const Window inner = make_window("framed", 5, 20, 200, 120, 0, true, frame);
  const long state[] = {NormalState, 0};
  const Atom wm_state = XInternAtom(client, "WM_STATE", False);
  XChangeProperty(client, inner, wm_state, wm_state, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(state), 2);
  XSync(client, False);
  EXPECT_EQ(get_window_pos("'framed'"),
            (Position{105, 120, 200, 120, static_cast<lua_Integer>(inner)}));
}

TEST_F(Windows, SetWindowPosMovesRaisesAndShowsTheWindow) {
  const Window window = make_window("mover", 10, 10, 50, 40, 0, false);
  make_window("cover", 0, 0, 400, 400);
  script.run("local _, _, _, _, handle = GetWindowPos('mover') SetWindowPos(handle, 123, 45)");
  XWindowAttributes attributes{};
  XGetWindowAttributes(client, window, &attributes);
  EXPECT_EQ(attributes.x, 123);
  EXPECT_EQ(attributes.y, 45);
  EXPECT_EQ(attributes.width, 50);
  EXPECT_EQ(attributes.map_state, IsViewable);
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  XQueryTree(client, DefaultRootWindow(client), &root, &parent, &children, &count);
  ASSERT_GT(count, 0u);
  EXPECT_EQ(children[count - 1], window);  // top of the stacking order
  XFree(children);
  const std::string geometry =
      shell_output("xdotool getwindowgeometry " + std::to_string(window) + " 2>/dev/null");
  EXPECT_NE(geometry.find("Position: 123,45"), std::string::npos) << geometry;
  EXPECT_EQ(get_window_pos("'mover'"),
            (Position{123, 45, 50, 40, static_cast<lua_Integer>(window)}));
}

TEST_F(Windows, SetWindowPosReadsIntegersOnly) {
  const Window window = make_window("exact", 10, 10, 50, 40);
  script.run("SetWindowPos(" + std::to_string(window) + ", '30', 40.0)");
  XWindowAttributes attributes{};
  XGetWindowAttributes(client, window, &attributes);
  EXPECT_EQ(attributes.x, 30);
  EXPECT_EQ(attributes.y, 40);
  script.run("SetWindowPos(" + std::to_string(window) + ", 7.5, 9)");  // 7.5 reads as 0
  XGetWindowAttributes(client, window, &attributes);
  EXPECT_EQ(attributes.x, 0);
  EXPECT_EQ(attributes.y, 9);
}

TEST_F(Windows, SetWindowPosOfAWindowThatIsGoneSaysSoAndGoesOn) {
  const Window window = make_window("short-lived", 10, 10, 50, 40);
  XDestroyWindow(client, window);
  XSync(client, False);
  ::testing::internal::CaptureStderr();
  script.run("SetWindowPos(" + std::to_string(window) + ", 1, 2) SetWindowPos(0, 1, 2)");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("SetWindowPos: no window " + std::to_string(window)), std::string::npos)
      << err;
  EXPECT_NE(err.find("SetWindowPos: no window 0"), std::string::npos) << err;
  // The process is still able to use the display.
  EXPECT_EQ(get_window_pos("'short-lived'").handle, 0);
}

TEST_F(Windows, BeepRingsTheDisplaysBell) {
  int opcode = 0, event_base = 0, error_base = 0;
  int major = XkbMajorVersion, minor = XkbMinorVersion;
  ASSERT_TRUE(XkbQueryExtension(client, &opcode, &event_base, &error_base, &major, &minor));
  XkbSelectEvents(client, XkbUseCoreKbd, XkbBellNotifyMask, XkbBellNotifyMask);
  XSync(client, False);
  script.run("beep()");
  bool rang = false;
  for (int attempt = 0; attempt < 500 && !rang; ++attempt) {
    while (XPending(client) && !rang) {
      XEvent event;
      XNextEvent(client, &event);
      rang = event.type == event_base &&
             reinterpret_cast<XkbEvent*>(&event)->any.xkb_type == XkbBellNotify;
    }
    if (!rang) usleep(10000);
  }
  EXPECT_TRUE(rang);
}

}  // namespace
