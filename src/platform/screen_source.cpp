#include "platform/screen_source.h"

#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "platform/wayland/mutter_screen.h"

namespace tapline::platform {
namespace {

// What remains when the picture named for the screen cannot be read.
class NoScreen final : public ScreenSource {
 public:
  ScreenSize size() override { return {}; }
  std::optional<ScreenPoint> cursor() override { return std::nullopt; }
};

ScreenSource& default_screen() {
  // Made once and kept for the life of the process: views of its grabs may be in use
  // until the very end, and the display connection is never closed.
  static ScreenSource* const source = []() -> ScreenSource* {
    const char* picture = std::getenv("TAPLINE_SCREEN");
    if (picture != nullptr && *picture != '\0') {
      if (auto opened = open_picture_screen(picture)) return opened.release();
      return new NoScreen;
    }
    // A GNOME Wayland session, unless the X11 screen is asked for (TAPLINE_DESKTOP=x11).
    const char* wayland_display = std::getenv("WAYLAND_DISPLAY");
    const char* desktop = std::getenv("TAPLINE_DESKTOP");
    const bool x11_asked = desktop != nullptr && std::string(desktop) == "x11";
    if (!x11_asked && wayland_display != nullptr && *wayland_display != '\0' && gnome_desktop()) {
      std::string why_not;
      if (auto opened = open_mutter_screen(why_not)) return opened.release();
      console_diagnostic("cannot see the GNOME screen: %s\n", why_not.c_str());
      return new NoScreen;
    }
    return make_x11_screen().release();
  }();
  return *source;
}

ScreenSource* current = nullptr;

}  // namespace

ScreenSource& screen() { return current ? *current : default_screen(); }

void set_screen(ScreenSource* replacement) { current = replacement; }

}  // namespace tapline::platform
