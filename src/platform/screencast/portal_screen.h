// The screen through the desktop portal's screen cast (org.freedesktop.portal.ScreenCast),
// for Wayland desktops that offer neither wlroots screen copies nor mutter's own screen
// cast: KDE Plasma and others. The first run may show the desktop's dialog; the portal's
// restore token, kept under $XDG_STATE_HOME/tapline/, lets later runs start without it.
#pragma once

#include <memory>
#include <string>

#include "platform/screen_source.h"

namespace tapline::platform::screencast {

// Where the restore token lives: $XDG_STATE_HOME/tapline/screencast-restore-token, with
// ~/.local/state in place of an unset XDG_STATE_HOME; empty when neither is known.
std::string portal_restore_token_path();

// Keeps `token` at `path`, readable by the user alone (it grants screen capture), creating
// missing folders; says on standard error when it cannot.
void keep_restore_token(const std::string& path, const std::string& token);

}  // namespace tapline::platform::screencast
