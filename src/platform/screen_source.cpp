#include "platform/screen_source.h"

#include <cstdlib>

#include "platform/backend_table.h"
#include "platform/desktop.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

// What remains when no source can show the screen.
class NoScreen final : public ScreenSource {
 public:
  ScreenSize size() override { return {}; }
  std::optional<ScreenPoint> cursor() override { return std::nullopt; }
};

// Tried in this order; the first that opens on the chosen desktop is the screen.
const BackendRow<std::unique_ptr<ScreenSource>(std::string&)> kScreenBackends[] = {
#ifdef TAPLINE_WITH_WAYLAND
    {"wlroots screencopy", Desktops::wayland, open_wlroots_screen},
#endif
#ifdef TAPLINE_WITH_PIPEWIRE
    {"GNOME screen cast", Desktops::wayland, open_mutter_screen},
#endif
#ifdef TAPLINE_WITH_KDE
    // Before the portal, which shows KWin's dialog on the first run (bench/README.md).
    {"KWin screenshot", Desktops::wayland, open_kwin_screen},
#endif
#ifdef TAPLINE_WITH_PIPEWIRE
    // Last on Wayland: it may ask the person (once; the permission is kept).
    {"desktop portal", Desktops::wayland, open_portal_screen},
#endif
    {"X11", Desktops::x11, open_x11_screen},
};

std::string x11_display_name() {
  const char* name = std::getenv("DISPLAY");
  return name && *name ? name : "no display";
}

ScreenSource* choose_screen() {
  const DesktopChoice desktop = desktop_choice();
  const std::string where =
      desktop.desktop == Desktop::wayland ? wayland_socket_name() : x11_display_name();
  auto chosen = choose_backend(kScreenBackends, {desktop.desktop});
  if (chosen.made) {
    // Plain X11 in an X11 session is the long-standing default and goes unsaid.
    if (desktop.desktop == Desktop::wayland || desktop.chosen_by_setting || wayland_session())
      system::console_diagnostic("screen: %s on %s\n", chosen.name, where.c_str());
    return chosen.made.release();
  }
  std::string reasons = chosen.reasons();
  if (reasons.empty()) reasons = "this build has no screen source for this desktop";
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
      std::string why_not;
      if (auto opened = open_picture_screen(picture, why_not)) return opened.release();
      system::console_diagnostic("%s; there is no screen\n", why_not.c_str());
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
