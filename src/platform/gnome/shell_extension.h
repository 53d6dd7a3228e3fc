// Our GNOME Shell extension (extras/gnome-shell), which lists, moves and activates
// windows and commits text into the focused field from inside the Shell, where nothing
// else can on GNOME's Wayland session. It answers on the Shell's bus name.
#pragma once

#include <systemd/sd-bus.h>

#include <string>

namespace tapline::platform::gnome {

inline constexpr const char kExtensionUuid[] = "tapline-windows@tapline.invalid";
inline constexpr const char kShellName[] = "org.gnome.Shell";
inline constexpr const char kExtensionPath[] = "/org/gnome/Shell/Extensions/TaplineWindows";
inline constexpr const char kExtensionInterface[] = "org.gnome.Shell.Extensions.TaplineWindows";

// Why the extension cannot be used, for one line of standard error: the Shell is not on
// the bus, or the extension does not answer (then the line gives the command that enables
// it). Empty when it answers.
std::string extension_missing(sd_bus* bus);

// Commits `utf8` into the field that has the keyboard focus, as an input method does.
// False when the extension does not answer or no text field has the focus.
bool commit_text(sd_bus* bus, const std::string& utf8);

}  // namespace tapline::platform::gnome
