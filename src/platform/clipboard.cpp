#include "platform/clipboard.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/backend_table.h"
#include "platform/clipboard_server.h"
#include "platform/desktop.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

// Tried in this order; the first that opens on the chosen desktop is the clipboard. X11
// serves a Wayland desktop too, through Xwayland, as the last resort.
const BackendRow<std::unique_ptr<Clipboard>(std::string&)> kClipboardBackends[] = {
#ifdef TAPLINE_WITH_WAYLAND
    {"wlroots data control", Desktops::wayland, open_wayland_clipboard},
#endif
#ifdef TAPLINE_WITH_GNOME
    {"GNOME remote desktop", Desktops::wayland, open_gnome_clipboard},
#endif
    {"X11", Desktops::either, open_x11_clipboard},
};

Clipboard& default_clipboard() {
  // Chosen once, at first use, and kept for the life of the process.
  static Clipboard* const chosen = []() -> Clipboard* {
    const Desktop desktop = desktop_choice().desktop;
    auto choice = choose_backend(kClipboardBackends, {desktop});
    // X11 on a Wayland desktop reaches Wayland programs only through Xwayland: said once.
    if (desktop == Desktop::wayland && std::strcmp(choice.name, "X11") == 0) {
      std::string reasons = choice.reasons();
      if (reasons.empty()) reasons = "this build has no Wayland clipboard";
      system::console_diagnostic("%s; the clipboard is the X11 one\n", reasons.c_str());
    }
    return choice.made.release();
  }();
  return *chosen;
}

Clipboard* current = nullptr;

// The backends' serving sides, by the name the setter gives.
struct ServingBackend {
  const char* name;
  ClipboardServe serve;
};
const ServingBackend kServingBackends[] = {
#ifdef TAPLINE_WITH_WAYLAND
    {"wayland", serve_wayland_clipboard},
#endif
#ifdef TAPLINE_WITH_GNOME
    {"gnome", serve_gnome_clipboard},
#endif
    {"x11", serve_x11_clipboard},
};

}  // namespace

Clipboard& clipboard() { return current ? *current : default_clipboard(); }

void set_clipboard(Clipboard* replacement) { current = replacement; }

int serve_clipboard(int count, char** arguments) {
  for (const ServingBackend& backend : kServingBackends)
    if (count == 1 && std::strcmp(arguments[0], backend.name) == 0)
      return run_clipboard_server(backend.serve);
  system::console_diagnostic("%s: no such clipboard backend\n", kServeClipboardOption);
  return 2;
}

}  // namespace tapline::platform
