#include "xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "child_process.h"

// Last: Xlib's macros clash with names in the headers above.
// clang-format off
#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
// clang-format on

namespace tapline::testing {
namespace {

// Only guards against a server that never says it is ready.
constexpr int kStartGuardMs = 30000;

}  // namespace

XvfbServer::XvfbServer(const std::string& screen, const std::vector<std::string>& extra) {
  int ready[2];
  // The write end is the server's to keep; the read end stays with the test.
  if (pipe(ready) != 0) throw std::runtime_error("pipe failed");
  fcntl(ready[0], F_SETFD, FD_CLOEXEC);
  std::vector<std::string> args = {"Xvfb",     "-displayfd", std::to_string(ready[1]),
                                   "-noreset", "-nolisten",  "tcp",
                                   "-screen",  "0",          screen};
  args.insert(args.end(), extra.begin(), extra.end());
  try {
    ChildOptions quiet;
    quiet.out = ChildOutput::Discard;
    quiet.err = ChildOutput::Discard;
    process_ = std::make_unique<ChildProcess>(args, quiet);
  } catch (const std::runtime_error&) {
    // Reported below, as a server that never said it was ready.
  }
  close(ready[1]);
  std::string number;
  char c = 0;
  pollfd readable{ready[0], POLLIN, 0};
  while (process_ && poll(&readable, 1, kStartGuardMs) == 1 && read(ready[0], &c, 1) == 1 &&
         c != '\n')
    number += c;
  close(ready[0]);
  if (number.empty()) {
    stop();
    throw std::runtime_error("Xvfb did not start (is it installed?)");
  }
  name_ = ":" + number;
}

XvfbServer::~XvfbServer() { stop(); }

pid_t XvfbServer::pid() const { return process_ ? process_->pid() : -1; }

void XvfbServer::stop() {
  if (process_) process_->end(SIGTERM);
  process_.reset();
}

XvfbServer* XvfbSuite::server_ = nullptr;

void XvfbSuite::start_display(const std::string& screen) {
  server_ = new XvfbServer(screen);
  setenv("DISPLAY", server_->name().c_str(), 1);
  // The X11 services, even when the tests run on a Wayland desktop.
  for (const char* variable : {"WAYLAND_DISPLAY", "SWAYSOCK", "I3SOCK"}) unsetenv(variable);
}

void XvfbSuite::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
}

const std::string& XvfbSuite::display_name() { return server_->name(); }

FakeInput::FakeInput(const std::string& display_name)
    : display_(XOpenDisplay(display_name.c_str())) {
  if (display_ == nullptr) throw std::runtime_error("cannot open display " + display_name);
}

FakeInput::~FakeInput() { XCloseDisplay(display_); }

void FakeInput::key(unsigned long keysym, bool down) {
  XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, keysym), down, CurrentTime);
  XSync(display_, False);
}

void FakeInput::button(int number, bool down) {
  XTestFakeButtonEvent(display_, static_cast<unsigned>(number), down, CurrentTime);
  XSync(display_, False);
}

void FakeInput::move(int x, int y) {
  XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
  XSync(display_, False);
}

void FakeInput::auto_repeat(int delay_ms, int per_second) {
  XAutoRepeatOn(display_);
  XkbSetAutoRepeatRate(display_, XkbUseCoreKbd, static_cast<unsigned>(delay_ms),
                       static_cast<unsigned>(1000 / per_second));
  XSync(display_, False);
}

}  // namespace tapline::testing
