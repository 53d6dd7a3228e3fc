// The device's desktop side on a private Xvfb: keys, borrowed keycodes, characters,
// buttons and pointer moves through XTest, seen by a window of the test's own.
// clang-format off: x11_target.h brings in Xlib, whose macros must come after gtest.
#include <gtest/gtest.h>
// clang-format on
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "inject/x11_target.h"
#include "xvfb.h"

// Last: Xlib's macros clash with names in the headers above.
// clang-format off
#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
// clang-format on

namespace {

using tapline::device::Keysym;
using tapline::device::X11Target;
using tapline::testing::XvfbServer;

// Only guards against a hung run; no assertion depends on how fast anything happens.
constexpr int kHangGuardMs = 10000;
constexpr Keysym kMiddle = 0x1000000 + 0x4E2D;  // the character 中 as a keysym

XvfbServer* server = nullptr;

class DesktopTarget : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new XvfbServer("640x480x24"); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    observer_ = XOpenDisplay(server->name().c_str());
    ASSERT_NE(observer_, nullptr);
    const int screen = DefaultScreen(observer_);
    window_ =
        XCreateSimpleWindow(observer_, RootWindow(observer_, screen), 0, 0, 640, 480, 0, 0, 0);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    XChangeWindowAttributes(observer_, window_, CWOverrideRedirect, &attributes);
    XSelectInput(observer_, window_,
                 KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                     PointerMotionMask | StructureNotifyMask);
    XMapRaised(observer_, window_);
    wait_for(MapNotify);
    XSetInputFocus(observer_, window_, RevertToParent, CurrentTime);
    // Like any toolkit, the window hears of keyboard map changes through XKB.
    int opcode = 0;
    int event_base = 0;
    int error_base = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    ASSERT_TRUE(XkbQueryExtension(observer_, &opcode, &event_base, &error_base, &major, &minor));
    XkbSelectEventDetails(observer_, XkbUseCoreKbd, XkbMapNotify, XkbKeySymsMask, XkbKeySymsMask);
    XSync(observer_, False);
    keyboard_map_ = keyboard_map();
    std::string error;
    target_ = X11Target::open(server->name().c_str(), error);
    ASSERT_NE(target_, nullptr) << error;
  }

  void TearDown() override {
    target_.reset();
    if (observer_ != nullptr) {
      XDestroyWindow(observer_, window_);
      XCloseDisplay(observer_);
    }
  }

  // The next event of this type on the test's window; other events pass by, and
  // keyboard map changes are taken in as any client must.
  XEvent wait_for(int type) {
    XEvent event{};
    for (;;) {
      while (XPending(observer_) == 0) {
        pollfd readable{ConnectionNumber(observer_), POLLIN, 0};
        if (poll(&readable, 1, kHangGuardMs) != 1) {
          ADD_FAILURE() << "no event of type " << type << " came";
          return event;
        }
      }
      XNextEvent(observer_, &event);
      if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
      if (event.type == type) return event;
    }
  }

  // The keysym and text of the next key press, as a client looks them up.
  std::pair<KeySym, std::string> next_key_press() {
    XEvent event = wait_for(KeyPress);
    char text[16] = {};
    KeySym keysym = NoSymbol;
    const int length = XLookupString(&event.xkey, text, sizeof text - 1, &keysym, nullptr);
    return {keysym, std::string(text, length > 0 ? length : 0)};
  }

  std::vector<KeySym> keyboard_map() {
    int min = 0;
    int max = 0;
    XDisplayKeycodes(observer_, &min, &max);
    int per_keycode = 0;
    KeySym* keysyms = XGetKeyboardMapping(observer_, min, max - min + 1, &per_keycode);
    std::vector<KeySym> map(keysyms, keysyms + (max - min + 1) * per_keycode);
    XFree(keysyms);
    return map;
  }

  bool any_key_down() {
    char keys[32] = {};
    XQueryKeymap(observer_, keys);
    for (const char byte : keys)
      if (byte != 0) return true;
    return false;
  }

  struct Pointer {
    int x;
    int y;
    unsigned mask;
  };
  Pointer pointer() {
    Window root = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    int window_x = 0;
    int window_y = 0;
    unsigned mask = 0;
    XQueryPointer(observer_, DefaultRootWindow(observer_), &root, &child, &x, &y, &window_x,
                  &window_y, &mask);
    return {x, y, mask};
  }

  Display* observer_ = nullptr;
  Window window_ = 0;
  std::vector<KeySym> keyboard_map_;  // as it was before the target connected
  std::unique_ptr<X11Target> target_;
};

TEST_F(DesktopTarget, KeysWithAKeycodeAndKeysThatBorrowOne) {
  ASSERT_GT(target_->spare_keycodes(), 0u) << "the server's map has no unused keycode";
  target_->key(XK_a, true);
  target_->flush();
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(XK_a));
  EXPECT_TRUE(any_key_down());
  target_->key(XK_a, false);
  target_->flush();
  wait_for(KeyRelease);
  EXPECT_FALSE(any_key_down());
  EXPECT_FALSE(target_->borrowing());

  target_->key(kMiddle, true);
  target_->flush();
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(kMiddle));
  target_->settle();  // held: the keycode stays lent
  target_->key(kMiddle, false);
  target_->flush();
  wait_for(KeyRelease);
  EXPECT_NE(keyboard_map(), keyboard_map_);
  EXPECT_TRUE(target_->borrowing());

  target_->settle();
  wait_for(MappingNotify);
  EXPECT_EQ(keyboard_map(), keyboard_map_);
  EXPECT_FALSE(target_->borrowing());
}

TEST_F(DesktopTarget, CharactersArriveAsThemselvesWhateverTheirLevel) {
  target_->type_character(U'q');
  target_->type_character(U'Q');
  target_->type_character(U'?');
  target_->type_character(U'中');
  target_->type_character(U'é');
  target_->flush();
  EXPECT_EQ(next_key_press().second, "q");
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(XK_Shift_L));
  EXPECT_EQ(next_key_press().second, "Q");
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(XK_Shift_L));
  EXPECT_EQ(next_key_press().second, "?");
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(kMiddle));
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(XK_eacute));
  wait_for(KeyRelease);
  target_->settle();
  target_->flush();
  // Shift never stays down, and the map is as it was once the target has settled.
  target_.reset();
  EXPECT_FALSE(any_key_down());
  EXPECT_EQ(keyboard_map(), keyboard_map_);
}

TEST_F(DesktopTarget, MoreCharactersThanSpareKeycodes) {
  const size_t count = target_->spare_keycodes() + 3;
  for (size_t i = 0; i < count; ++i) {
    const char32_t character = U'一' + static_cast<char32_t>(i);
    target_->type_character(character);
    target_->flush();
    EXPECT_EQ(next_key_press().first, static_cast<KeySym>(0x1000000 + character)) << i;
  }
  target_->settle();
  target_->flush();
  target_.reset();
  EXPECT_EQ(keyboard_map(), keyboard_map_);
}

TEST_F(DesktopTarget, TheEndReleasesKeysAndGivesKeycodesBack) {
  target_->key(XK_Control_L, true);
  target_->key(kMiddle, true);
  target_->flush();
  wait_for(KeyPress);
  wait_for(KeyPress);
  EXPECT_TRUE(any_key_down());
  target_.reset();
  EXPECT_FALSE(any_key_down());
  EXPECT_EQ(keyboard_map(), keyboard_map_);
}

TEST_F(DesktopTarget, AMapChangedByAnotherClientIsTakenIn) {
  // Another client puts a keysym no key had on an unused keycode.
  int min = 0;
  int max = 0;
  XDisplayKeycodes(observer_, &min, &max);
  const int per_keycode = static_cast<int>(keyboard_map_.size()) / (max - min + 1);
  int unused = 0;
  for (int code = max; code >= min && unused == 0; --code) {
    bool empty = true;
    for (int level = 0; level < per_keycode; ++level)
      empty = empty && keyboard_map_[(code - min) * per_keycode + level] == NoSymbol;
    if (empty) unused = code;
  }
  ASSERT_NE(unused, 0);
  const size_t spares = target_->spare_keycodes();
  KeySym f30 = XK_F30;
  XChangeKeyboardMapping(observer_, unused, 1, &f30, 1);
  XSync(observer_, False);
  wait_for(MappingNotify);

  // The target learns of it with a later frame's flush and uses that key.
  for (int attempt = 0; attempt < 500 && target_->spare_keycodes() == spares; ++attempt) {
    usleep(10000);
    target_->flush();
  }
  target_->key(XK_F30, true);
  target_->flush();
  const XEvent press = wait_for(KeyPress);
  EXPECT_EQ(static_cast<int>(press.xkey.keycode), unused);
  EXPECT_EQ(target_->spare_keycodes(), spares - 1);
  target_->key(XK_F30, false);
  target_->flush();
  wait_for(KeyRelease);
  KeySym none = NoSymbol;
  XChangeKeyboardMapping(observer_, unused, 1, &none, 1);
  XSync(observer_, False);
}

TEST_F(DesktopTarget, ButtonsAndPointerMoves) {
  EXPECT_EQ(target_->screen().width, 640);
  EXPECT_EQ(target_->screen().height, 480);
  target_->move_to(10, 20);
  target_->flush();
  XEvent motion = wait_for(MotionNotify);
  EXPECT_EQ(motion.xmotion.x, 10);
  EXPECT_EQ(motion.xmotion.y, 20);
  target_->move_by(3, -2);
  target_->flush();
  motion = wait_for(MotionNotify);
  EXPECT_EQ(motion.xmotion.x, 13);
  EXPECT_EQ(motion.xmotion.y, 18);

  target_->button(1, true);
  target_->flush();
  const XEvent press = wait_for(ButtonPress);
  EXPECT_EQ(press.xbutton.button, 1u);
  EXPECT_TRUE(pointer().mask & Button1Mask);
  target_->button(1, false);
  target_->flush();
  wait_for(ButtonRelease);
  EXPECT_FALSE(pointer().mask & Button1Mask);
}

TEST_F(DesktopTarget, KeycodesOfAKilledDeviceComeBackAtTheNextStart) {
  target_.reset();
  // The device in a process of its own, killed while characters it typed still have
  // their borrowed keycodes.
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  const pid_t device = fork();
  ASSERT_GE(device, 0);
  if (device == 0) {
    close(hold[1]);
    std::string error;
    std::unique_ptr<X11Target> killed = X11Target::open(server->name().c_str(), error);
    if (!killed) _exit(1);
    killed->type_character(U'中');
    killed->type_character(U'文');
    killed->flush();
    char ignored = 0;
    while (read(hold[0], &ignored, 1) > 0) {
    }
    _exit(0);
  }
  close(hold[0]);
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(kMiddle));
  EXPECT_EQ(next_key_press().first, static_cast<KeySym>(0x1000000 + U'文'));
  kill(device, SIGKILL);
  waitpid(device, nullptr, 0);
  close(hold[1]);
  EXPECT_NE(keyboard_map(), keyboard_map_);

  std::string error;
  target_ = X11Target::open(server->name().c_str(), error);
  ASSERT_NE(target_, nullptr) << error;
  EXPECT_EQ(keyboard_map(), keyboard_map_);
  // A device that stops as it should leaves no record behind.
  target_->type_character(U'中');
  target_->flush();
  wait_for(KeyRelease);
  target_.reset();
  EXPECT_EQ(keyboard_map(), keyboard_map_);
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long left = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(observer_, DefaultRootWindow(observer_),
                     XInternAtom(observer_, "_TAPLINE_BORROWED_KEYCODES", False), 0, 16, False,
                     AnyPropertyType, &type, &format, &count, &left, &data);
  if (data != nullptr) XFree(data);
  EXPECT_EQ(type, static_cast<Atom>(None));
}

}  // namespace
