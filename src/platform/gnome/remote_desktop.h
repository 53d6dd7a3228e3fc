// A session of mutter's remote desktop service (org.gnome.Mutter.RemoteDesktop) on the
// session bus: input as if from devices of its own, and the clipboard, with no dialog. The
// device's GNOME injector and the GNOME clipboard share it. mutter ends the session when
// its connection goes, and when the person stops it from GNOME Shell's screen-sharing
// indicator (its Closed signal): from then on every call fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dbus/dbus.h"

namespace tapline::platform::gnome {

inline constexpr const char kRemoteDesktopName[] = "org.gnome.Mutter.RemoteDesktop";

// The rectangle around all logical monitors, in desktop coordinates.
struct LayoutBox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class RemoteDesktop {
 public:
  // Creates and starts a session. With `pointer_area`, a screen cast linked to it records
  // the rectangle around all monitors, so that absolute positions are desktop positions
  // (mutter takes them only in a stream's coordinates). With `clipboard`, the session's
  // clipboard is enabled. nullptr with the reason in `why_not`.
  static std::unique_ptr<RemoteDesktop> open(bool pointer_area, bool clipboard,
                                             std::string& why_not);
  ~RemoteDesktop();  // stops the session
  RemoteDesktop(const RemoteDesktop&) = delete;
  RemoteDesktop& operator=(const RemoteDesktop&) = delete;

  // Calls `member` of the session with `types` and the arguments. nullptr with the reason
  // in error() when it fails, also when the session was closed.
  template <typename... Args>
  dbus::Message call(const char* member, const char* types, Args... args);
  // Fire and forget for the input notifications, which are many: errors are noticed
  // through closed() and the next call.
  template <typename... Args>
  bool notify(const char* member, const char* types, Args... args);

  // Handles what came on the bus (the Closed signal, clipboard signals); true once the
  // session has been closed by mutter or the person.
  bool closed();
  const std::string& error() const { return error_; }
  sd_bus* bus() const { return bus_.get(); }
  const std::string& path() const { return path_; }
  // The linked stream (with `pointer_area`) and the rectangle it records.
  const std::string& stream() const { return stream_; }
  const LayoutBox& area() const { return area_; }

 private:
  RemoteDesktop() = default;
  static int on_closed(sd_bus_message* message, void* self, sd_bus_error* error);
  bool begin_call();

  dbus::Bus bus_;
  std::string path_;
  std::string cast_path_;
  std::string stream_;
  LayoutBox area_;
  dbus::Slot closed_watch_;
  bool closed_ = false;
  std::string error_;
};

inline constexpr const char kRemoteDesktopSession[] = "org.gnome.Mutter.RemoteDesktop.Session";

template <typename... Args>
dbus::Message RemoteDesktop::call(const char* member, const char* types, Args... args) {
  if (!begin_call()) return nullptr;
  sd_bus_error failure = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int result =
      sd_bus_call_method(bus_.get(), kRemoteDesktopName, path_.c_str(), kRemoteDesktopSession,
                         member, &failure, &reply, types, args...);
  if (result < 0) error_ = std::string(member) + ": " + dbus::bus_error_text(&failure, result);
  sd_bus_error_free(&failure);
  if (result < 0 && closed()) error_ = "the remote desktop session was stopped";
  return dbus::Message(result < 0 ? nullptr : reply);
}

template <typename... Args>
bool RemoteDesktop::notify(const char* member, const char* types, Args... args) {
  if (!begin_call()) return false;
  const int result =
      sd_bus_call_method_async(bus_.get(), nullptr, kRemoteDesktopName, path_.c_str(),
                               kRemoteDesktopSession, member, nullptr, nullptr, types, args...);
  if (result < 0) error_ = std::string(member) + ": " + dbus::bus_error_text(nullptr, result);
  return result >= 0;
}

}  // namespace tapline::platform::gnome
