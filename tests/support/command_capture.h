// Records what the command layer does, in order: every frame it sends (as its report
// type and report bytes) and every pause it takes, without sleeping.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "command/frame.h"
#include "platform/screen_source.h"
#include "test_clock.h"

namespace tapline::testing {

// Installs itself as the SendCallback and its clock as the clock for its lifetime. Frames
// are checked as they arrive by the software device's decoder, and their channel bits
// against the current channel; a frame that fails is recorded as "bad frame ..." so that
// every comparison fails on it.
class CommandCapture {
 public:
  CommandCapture();
  ~CommandCapture();
  CommandCapture(const CommandCapture&) = delete;
  CommandCapture& operator=(const CommandCapture&) = delete;

  // Everything recorded since the last take, then forgets it.
  std::vector<std::string> take();
  // The raw frames recorded since the last take (take clears them too).
  const std::vector<std::vector<uint8_t>>& frames() const { return frames_; }
  // Number of frames recorded since the last take.
  size_t frame_count() const { return frames_.size(); }
  // Sum of the pauses recorded since the last take.
  int64_t slept_ms() const { return slept_ms_; }

  TestClock clock;

 private:
  static void on_frame(const uint8_t* frame, int length);
  void record_frame(const uint8_t* frame, int length);

  std::vector<std::string> events_;
  std::vector<std::vector<uint8_t>> frames_;
  int64_t slept_ms_ = 0;
};

// The line a frame is recorded as: "<ReportType name> xx xx ..." (upper-case hex).
std::string report_line(ReportType type, std::initializer_list<uint8_t> report);
std::string report_line(ReportType type, const uint8_t* report, size_t length);
// A keyboard report's line: modifier byte, reserved byte, the usages in the first slots.
std::string keyboard_line(uint8_t modifiers, std::initializer_list<uint8_t> usages = {});
// The lines of the other reports, each field cut to its width as the report holds it.
std::string mouse_line(int buttons, int wheel = 0, int x = 0, int y = 0);
std::string absolute_line(int x, int y, int buttons = 0, int wheel = 0);
std::string touch_line(int state, int contact, int x, int y);
// A report of one 16-bit value and zeros: consumer usage, joystick buttons, power request.
std::string usage_line(ReportType type, int usage);
// The line a pause is recorded as: "sleep <ms>".
std::string sleep_line(int64_t ms);

// A host screen of a fixed size, installed for its lifetime.
class FixedScreen final : public platform::ScreenSource {
 public:
  FixedScreen(int width, int height);
  ~FixedScreen() override;
  FixedScreen(const FixedScreen&) = delete;
  FixedScreen& operator=(const FixedScreen&) = delete;

  void resize(int width, int height) { size_ = {width, height}; }
  platform::ScreenSize size() override { return size_; }
  std::optional<platform::ScreenPoint> cursor() override { return std::nullopt; }

 private:
  platform::ScreenSize size_;
};

}  // namespace tapline::testing
