#include "platform/top_level_windows.h"

#include <cstring>

#include "platform/backend_table.h"
#include "platform/desktop.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

// Tried in this order. A window manager's IPC socket serves both desktops (sway on
// Wayland, i3 on X11); X11 serves a Wayland desktop too, through Xwayland, as the last
// resort.
const BackendRow<std::unique_ptr<TopLevelWindows>(std::string&)> kWindowBackends[] = {
    {"sway IPC", Desktops::either, open_sway_windows},
    {"i3 IPC", Desktops::either, open_i3_windows},
#ifdef TAPLINE_WITH_GNOME
    {"GNOME Shell", Desktops::wayland, open_gnome_windows},
#endif
#ifdef TAPLINE_WITH_KDE
    {"KWin scripting", Desktops::wayland, open_kwin_windows},
#endif
    {"X11", Desktops::either, open_x11_windows},
};

TopLevelWindows& default_windows() {
  // Chosen once, at first use, and kept for the life of the process.
  static TopLevelWindows* const windows = []() -> TopLevelWindows* {
    const DesktopChoice choice = desktop_choice();
    // TAPLINE_DESKTOP=x11 asks for the X11 windows, even under i3.
    const bool x11_asked = choice.desktop == Desktop::x11 && choice.chosen_by_setting;
    auto chosen = choose_backend(kWindowBackends, x11_asked ? BackendWish{Desktop::x11, "X11"}
                                                            : BackendWish{choice.desktop});
    // The window managers' only reason is that neither variable names a socket, which
    // this line says in its own words; GNOME Shell's, when it runs, is how to enable our
    // extension.
    if (choice.desktop == Desktop::wayland && std::strcmp(chosen.name, "X11") == 0) {
      std::string why = "this Wayland desktop lists its windows to no other program";
      for (const BackendRefusal& refusal : chosen.refusals)
        if (refusal.name == "GNOME Shell" && refusal.why_not.find("extension") != std::string::npos)
          why = refusal.why_not;
      system::console_diagnostic(
          "%s: GetWindowPos and SetWindowPos reach only X11 (Xwayland) windows\n", why.c_str());
    }
    return chosen.made.release();
  }();
  return *windows;
}

TopLevelWindows* current = nullptr;

}  // namespace

TopLevelWindows& top_level_windows() { return current ? *current : default_windows(); }

void set_top_level_windows(TopLevelWindows* replacement) { current = replacement; }

}  // namespace tapline::platform
