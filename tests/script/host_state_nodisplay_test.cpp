// Without an X11 display the X11 key source reads every host key as up and not toggled,
// nothing waits for a key that can never go down, and the missing display is told once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "command_capture.h"
#include "script_state.h"

namespace {

using tapline::testing::CommandCapture;
using tapline::testing::ScriptState;

size_t occurrences(const std::string& text, const std::string& word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

TEST(NoDisplay, KeysReadAsUpAndWaitsEnd) {
  unsetenv("DISPLAY");
  setenv("TAPLINE_KEYS", "x11", 1);
  CommandCapture capture;
  ScriptState script;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(script.integer("GetKeyState(65)"), 0);
  EXPECT_EQ(script.integer("GetKeyState(0x14)"), 0);
  EXPECT_EQ(script.integer("GetLED(0)"), 0);
  EXPECT_EQ(script.integer("WaitKey('a')"), 0);  // would otherwise wait for ever
  EXPECT_EQ(script.integer("WaitKey('a', 20)"), 0);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(occurrences(errors, "no X11 display"), 1u) << errors;
  EXPECT_EQ(capture.take(), std::vector<std::string>{"sleep 10"});
}

}  // namespace
