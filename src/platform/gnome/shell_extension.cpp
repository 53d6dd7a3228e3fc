#include "platform/gnome/shell_extension.h"

#include "platform/dbus/dbus.h"

namespace tapline::platform::gnome {

std::string extension_missing(sd_bus* bus) {
  if (!dbus::name_has_owner(bus, kShellName))
    return std::string(kShellName) + " is not on the session bus (not a GNOME Shell session)";
  // The Shell introspects an object path with our interface only once the extension runs.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int result =
      sd_bus_call_method(bus, kShellName, kExtensionPath, "org.freedesktop.DBus.Introspectable",
                         "Introspect", &error, &reply, "");
  const char* xml = nullptr;
  const bool answers = result >= 0 && sd_bus_message_read(reply, "s", &xml) >= 0 &&
                       std::string(xml).find(kExtensionInterface) != std::string::npos;
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  if (answers) return {};
  return std::string(
             "the Tapline GNOME Shell extension is not enabled (run `gnome-extensions "
             "enable ") +
         kExtensionUuid + "`, then log out and in)";
}

bool commit_text(sd_bus* bus, const std::string& utf8) {
  sd_bus_message* reply = nullptr;
  int committed = 0;
  if (sd_bus_call_method(bus, kShellName, kExtensionPath, kExtensionInterface, "CommitText",
                         nullptr, &reply, "s", utf8.c_str()) >= 0)
    sd_bus_message_read(reply, "b", &committed);
  sd_bus_message_unref(reply);
  return committed != 0;
}

}  // namespace tapline::platform::gnome
