#include "platform/desktop.h"

#include <cstdlib>
#include <cstring>

#include "platform/console.h"

namespace tapline::platform {
namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

DesktopChoice decide() {
  const char* setting = std::getenv("TAPLINE_DESKTOP");
  if (setting != nullptr && std::strcmp(setting, "x11") == 0) return {Desktop::x11, true};
  if (setting != nullptr && std::strcmp(setting, "wayland") == 0) return {Desktop::wayland, true};
  if (setting != nullptr && *setting != '\0' && std::strcmp(setting, "auto") != 0)
    console_diagnostic("TAPLINE_DESKTOP=%s is not x11, wayland or auto; choosing as for auto\n",
                       setting);
  return {set("WAYLAND_DISPLAY") ? Desktop::wayland : Desktop::x11, false};
}

}  // namespace

DesktopChoice desktop_choice() {
  static const DesktopChoice choice = decide();
  return choice;
}

std::string wayland_socket_name() {
  std::string name = set("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "wayland-0";
  if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  return name;
}

}  // namespace tapline::platform
