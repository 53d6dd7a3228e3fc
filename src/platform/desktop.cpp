#include "platform/desktop.h"

#include <cstdlib>
#include <cstring>

#include "system/console.h"

namespace tapline::platform {
namespace {

DesktopChoice decide() {
  const char* setting = std::getenv("TAPLINE_DESKTOP");
  if (setting != nullptr && std::strcmp(setting, "x11") == 0) return {Desktop::x11, true};
  if (setting != nullptr && std::strcmp(setting, "wayland") == 0) return {Desktop::wayland, true};
  if (setting != nullptr && *setting != '\0' && std::strcmp(setting, "auto") != 0)
    system::console_diagnostic(
        "TAPLINE_DESKTOP=%s is not x11, wayland or auto; choosing as for auto\n", setting);
  return {wayland_session() ? Desktop::wayland : Desktop::x11, false};
}

}  // namespace

DesktopChoice desktop_choice() {
  static const DesktopChoice choice = decide();
  return choice;
}

bool wayland_session() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  return name != nullptr && *name != '\0';
}

std::string wayland_socket_name() {
  std::string name = wayland_session() ? std::getenv("WAYLAND_DISPLAY") : "wayland-0";
  if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  return name;
}

}  // namespace tapline::platform
