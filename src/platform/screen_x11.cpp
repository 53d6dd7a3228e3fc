#include "platform/screen_source.h"
#include "platform/x11_display.h"

namespace tapline::platform {
namespace {

class X11Screen final : public ScreenSource {
 public:
  ScreenSize size() override {
    Display* display = x11_display();
    if (display == nullptr) return {};
    const int number = DefaultScreen(display);
    return {DisplayWidth(display, number), DisplayHeight(display, number)};
  }

  std::optional<ScreenPoint> cursor() override {
    Display* display = x11_display();
    if (display == nullptr) return std::nullopt;
    Window root_return, child_return;
    int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root_return, &child_return, &root_x,
                       &root_y, &win_x, &win_y, &mask))
      return std::nullopt;
    return ScreenPoint{root_x, root_y};
  }
};

X11Screen x11_screen;
ScreenSource* current = &x11_screen;

}  // namespace

ScreenSource& screen() { return *current; }

void set_screen(ScreenSource* replacement) { current = replacement ? replacement : &x11_screen; }

}  // namespace tapline::platform
