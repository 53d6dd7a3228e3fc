#include "platform/screen_source.h"

#include <cstdlib>

#include "platform/desktop.h"
#include "platform/wayland/mutter_screen.h"
#include "platform/wayland/portal_screen.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

// What remains when no source can show the screen.
class NoScreen final : public ScreenSource {
 public:
  ScreenSize size() override { return {}; }
  std::optional<ScreenPoint> cursor() override { return std::nullopt; }
};

// The X11 display opens lazily and says itself when there is none.
std::unique_ptr<ScreenSource> open_x11_screen(std::string&) { return make_x11_screen(); }

// A screen source that may serve a desktop: tried in this order, the first that opens on
// the chosen desktop is the screen. `open` gives nullptr and says why (and what would
// help) when the source cannot work here.
struct ScreenCandidate {
  const char* name;
  Desktop desktop;
  std::unique_ptr<ScreenSource> (*open)(std::string& why_not);
};
const ScreenCandidate kScreenCandidates[] = {
    {"wlroots screencopy", Desktop::wayland, open_wlroots_screen},
    {"GNOME screen cast", Desktop::wayland, open_mutter_screen},
    // Last on Wayland: it may ask the person (once; the permission is kept).
    {"desktop portal", Desktop::wayland, wayland::open_portal_screen},
    {"X11", Desktop::x11, open_x11_screen},
};

std::string x11_display_name() {
  const char* name = std::getenv("DISPLAY");
  return name && *name ? name : "no display";
}

ScreenSource* choose_screen() {
  const DesktopChoice choice = desktop_choice();
  const std::string where =
      choice.desktop == Desktop::wayland ? wayland_socket_name() : x11_display_name();
  std::string reasons;
  for (const ScreenCandidate& candidate : kScreenCandidates) {
    if (candidate.desktop != choice.desktop) continue;
    std::string why_not;
    if (auto source = candidate.open(why_not)) {
      // Plain X11 in an X11 session is the long-standing default and goes unsaid.
      if (choice.desktop == Desktop::wayland || choice.chosen_by_setting || wayland_session())
        system::console_diagnostic("screen: %s on %s\n", candidate.name, where.c_str());
      return source.release();
    }
    reasons += std::string(reasons.empty() ? "" : "; ") + candidate.name + ": " + why_not;
  }
  system::console_diagnostic(
      "screen: no screen source works on %s (%s); there is no screen. TAPLINE_DESKTOP=x11 "
      "reads Xwayland instead, which shows no Wayland window\n",
      where.c_str(), reasons.c_str());
  return new NoScreen;
}

ScreenSource& default_screen() {
  // Made once and kept for the life of the process: views of its grabs may be in use
  // until the very end, and the display connection is never closed.
  static ScreenSource* const source = []() -> ScreenSource* {
    const char* picture = std::getenv("TAPLINE_SCREEN");
    if (picture != nullptr && *picture != '\0') {
      if (auto opened = open_picture_screen(picture)) return opened.release();
      return new NoScreen;
    }
    return choose_screen();
  }();
  return *source;
}

ScreenSource* current = nullptr;

}  // namespace

ScreenSource& screen() { return current ? *current : default_screen(); }

void set_screen(ScreenSource* replacement) { current = replacement; }

}  // namespace tapline::platform
