// A private Xvfb server for tests that need an X11 screen: Xvfb picks a free display
// number itself and reports it (-displayfd) once it accepts clients, so parallel test
// programs never share a display. Ended by its pid when the object goes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

struct _XDisplay;  // Xlib's Display, kept out of this header (its macros clash with gtest)

namespace tapline::testing {

class ChildProcess;

class XvfbServer {
 public:
  // `screen` like "1024x768x24"; `extra` further Xvfb options. Throws std::runtime_error
  // when the server does not start.
  explicit XvfbServer(const std::string& screen = "1024x768x24",
                      const std::vector<std::string>& extra = {});
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", for DISPLAY or XOpenDisplay.
  const std::string& name() const { return name_; }
  pid_t pid() const;

 private:
  void stop();

  std::unique_ptr<ChildProcess> process_;
  std::string name_;
};

// Base of a test suite whose tests share one private X server. The server starts before
// the suite's first test and is named in DISPLAY for the whole program from then on (the
// program's own X connection reads DISPLAY once); it ends after the suite's last test.
// A suite that needs another screen size defines its own SetUpTestSuite calling
// start_display.
class XvfbSuite : public ::testing::Test {
 public:
  static void SetUpTestSuite() { start_display(); }
  static void TearDownTestSuite();

 protected:
  static void start_display(const std::string& screen = "1024x768x24");
  // The ":N" name of the suite's server.
  static const std::string& display_name();

 private:
  static XvfbServer* server_;
};

// Keys, buttons and pointer moves pressed on an X server through XTest, as a person at its
// keyboard and mouse would. Each call reaches the server before it returns.
class FakeInput {
 public:
  // Throws std::runtime_error when the display cannot be opened.
  explicit FakeInput(const std::string& display_name);
  ~FakeInput();
  FakeInput(const FakeInput&) = delete;
  FakeInput& operator=(const FakeInput&) = delete;

  void key(unsigned long keysym, bool down);
  void tap(unsigned long keysym) { key(keysym, true), key(keysym, false); }
  void button(int number, bool down);
  void click(int number) { button(number, true), button(number, false); }
  void move(int x, int y);
  // The server's auto-repeat: after `delay_ms`, `per_second` presses while a key is held.
  void auto_repeat(int delay_ms, int per_second);

 private:
  _XDisplay* display_ = nullptr;
};

}  // namespace tapline::testing
