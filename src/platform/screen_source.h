// The host screen as the script library and the absolute mouse see it.
#pragma once

#include <cstdint>
#include <optional>

namespace tapline::platform {

struct ScreenSize {
  int width = 0;
  int height = 0;
};

struct ScreenPoint {
  int x = 0;
  int y = 0;
};

class ScreenSource {
 public:
  virtual ~ScreenSource() = default;
  // The screen's size in pixels; 0 x 0 when there is no screen.
  virtual ScreenSize size() = 0;
  // The host cursor position; empty when there is no screen.
  virtual std::optional<ScreenPoint> cursor() = 0;
};

// The current screen source (the X11 display by default). Tests substitute their own.
ScreenSource& screen();
// Replaces the screen source; nullptr restores the default.
void set_screen(ScreenSource* replacement);

}  // namespace tapline::platform
