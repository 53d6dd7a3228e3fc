// GNOME's windows, Wayland and Xwayland alike, through our Shell extension: only code
// inside GNOME Shell may list or move them. Handles are mutter's window ids.
#include <cstring>
#include <string>

#include "platform/dbus/dbus.h"
#include "platform/gnome/shell_extension.h"
#include "platform/top_level_windows.h"
#include "system/console.h"
#include "system/text_codec.h"

namespace tapline::platform {
namespace {

using namespace gnome;

class GnomeWindows final : public TopLevelWindows {
 public:
  explicit GnomeWindows(dbus::Bus bus) : bus_(std::move(bus)) {}

  std::optional<WindowPlacement> find(const char* title) override {
    const std::string wanted = title ? system::locale_to_utf8(title) : std::string();
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(bus_.get(), kShellName, kExtensionPath,
                                          kExtensionInterface, "List", &error, &reply, "");
    const dbus::Message owned(reply);
    if (result < 0) {
      system::console_diagnostic("GNOME Shell did not list its windows: %s\n",
                                 dbus::bus_error_text(&error, result).c_str());
      sd_bus_error_free(&error);
      return std::nullopt;
    }
    if (sd_bus_message_enter_container(reply, 'a', "(tsiiii)") < 0) return std::nullopt;
    uint64_t id = 0;
    const char* name = nullptr;
    WindowPlacement place;
    while (sd_bus_message_read(reply, "(tsiiii)", &id, &name, &place.left, &place.top, &place.width,
                               &place.height) > 0) {
      if (wanted.empty() ? *name != '\0' : wanted == name) {
        place.handle = id;
        return place;
      }
    }
    return std::nullopt;
  }

  bool move(uint64_t handle, int x, int y) override {
    sd_bus_message* reply = nullptr;
    int moved = 0;
    if (sd_bus_call_method(bus_.get(), kShellName, kExtensionPath, kExtensionInterface, "Move",
                           nullptr, &reply, "tii", handle, x, y) >= 0)
      sd_bus_message_read(reply, "b", &moved);
    sd_bus_message_unref(reply);
    return moved != 0;
  }

 private:
  dbus::Bus bus_;
};

}  // namespace

std::unique_ptr<TopLevelWindows> open_gnome_windows(std::string& why_not) {
  dbus::Bus bus = dbus::open_session_bus(why_not);
  if (!bus) return nullptr;
  why_not = extension_missing(bus.get());
  if (!why_not.empty()) return nullptr;
  return std::make_unique<GnomeWindows>(std::move(bus));
}

}  // namespace tapline::platform
