#include "platform/gnome/remote_desktop.h"

#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

namespace tapline::platform::gnome {
namespace {

constexpr const char kScreenCastName[] = "org.gnome.Mutter.ScreenCast";
constexpr const char kDisplayConfigName[] = "org.gnome.Mutter.DisplayConfig";

// Reads one a{sv} dictionary, giving each entry's name to `entry`, which reads or skips
// its variant.
template <typename Entry>
bool read_properties(sd_bus_message* m, Entry entry) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(m, "s", &name) < 0 || entry(name) < 0 ||
        sd_bus_message_exit_container(m) < 0)
      return false;
  }
  return sd_bus_message_exit_container(m) >= 0;
}

// A variant holding a boolean, or skipped.
int read_flag(sd_bus_message* m, bool& flag) {
  int value = 0;
  if (sd_bus_message_enter_container(m, 'v', "b") < 0) return sd_bus_message_skip(m, "v");
  const int result = sd_bus_message_read(m, "b", &value);
  flag = value != 0;
  return result < 0 ? result : sd_bus_message_exit_container(m);
}

// The rectangle around the logical monitors of mutter's display configuration: each
// monitor's current mode, turned and, in the logical layout mode, divided by its scale.
bool read_layout(sd_bus* bus, LayoutBox& box, std::string& why_not) {
  dbus::Message request =
      dbus::new_method_call(bus, kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig",
                            kDisplayConfigName, "GetCurrentState");
  dbus::Message reply = request ? dbus::call(bus, request.get(), why_not) : nullptr;
  if (!reply) return false;
  sd_bus_message* m = reply.get();
  struct Mode {
    std::string connector;
    int width = 0;
    int height = 0;
  };
  std::vector<Mode> modes;
  uint32_t serial = 0;
  if (sd_bus_message_read(m, "u", &serial) < 0 ||
      sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})") < 0)
    return false;
  while (sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}") > 0) {
    const char *connector, *vendor, *product, *serial_text;
    Mode current;
    if (sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial_text) < 0 ||
        sd_bus_message_enter_container(m, 'a', "(siiddada{sv})") < 0)
      return false;
    current.connector = connector;
    while (sd_bus_message_enter_container(m, 'r', "siiddada{sv}") > 0) {
      const char* id = nullptr;
      int width = 0, height = 0;
      double rate = 0, preferred_scale = 0;
      bool is_current = false;
      if (sd_bus_message_read(m, "siidd", &id, &width, &height, &rate, &preferred_scale) < 0 ||
          sd_bus_message_skip(m, "ad") < 0 ||
          !read_properties(m,
                           [&](const char* name) {
                             if (std::string_view(name) == "is-current")
                               return read_flag(m, is_current);
                             return sd_bus_message_skip(m, "v");
                           }) ||
          sd_bus_message_exit_container(m) < 0)
        return false;
      if (is_current) current.width = width, current.height = height;
    }
    if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_skip(m, "a{sv}") < 0 ||
        sd_bus_message_exit_container(m) < 0)
      return false;
    modes.push_back(current);
  }
  if (sd_bus_message_exit_container(m) < 0 ||
      sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})") < 0)
    return false;
  struct Logical {
    int x, y;
    double scale;
    uint32_t transform;
    std::string connector;
  };
  std::vector<Logical> logical;
  while (sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}") > 0) {
    Logical place{};
    int primary = 0;
    if (sd_bus_message_read(m, "iidub", &place.x, &place.y, &place.scale, &place.transform,
                            &primary) < 0 ||
        sd_bus_message_enter_container(m, 'a', "(ssss)") < 0)
      return false;
    const char *connector, *vendor, *product, *serial_text;
    while (sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial_text) > 0)
      if (place.connector.empty()) place.connector = connector;
    if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_skip(m, "a{sv}") < 0 ||
        sd_bus_message_exit_container(m) < 0)
      return false;
    logical.push_back(place);
  }
  if (sd_bus_message_exit_container(m) < 0) return false;
  uint32_t layout_mode = 1;  // logical, mutter's default on Wayland
  read_properties(m, [&](const char* name) {
    if (std::string_view(name) != "layout-mode") return sd_bus_message_skip(m, "v");
    if (sd_bus_message_enter_container(m, 'v', "u") < 0) return sd_bus_message_skip(m, "v");
    sd_bus_message_read(m, "u", &layout_mode);
    return sd_bus_message_exit_container(m);
  });

  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
  for (const Logical& place : logical) {
    const auto mode = std::find_if(modes.begin(), modes.end(),
                                   [&](const Mode& m) { return m.connector == place.connector; });
    if (mode == modes.end() || mode->width <= 0) continue;
    double width = mode->width;
    double height = mode->height;
    if (place.transform % 2 == 1) std::swap(width, height);  // turned a quarter
    if (layout_mode == 1 && place.scale > 0) width /= place.scale, height /= place.scale;
    left = std::min(left, place.x);
    top = std::min(top, place.y);
    right = std::max(right, place.x + static_cast<int>(width + 0.5));
    bottom = std::max(bottom, place.y + static_cast<int>(height + 0.5));
  }
  if (left >= right || top >= bottom) {
    why_not = "mutter's display configuration names no monitor";
    return false;
  }
  box = {left, top, right - left, bottom - top};
  return true;
}

// Calls `member` at `path` of mutter's service `name` with the arguments; the reply or
// nullptr with the reason.
template <typename... Args>
dbus::Message call_method(sd_bus* bus, const char* name, const char* path, const char* interface,
                          const char* member, std::string& why_not, const char* types,
                          Args... args) {
  sd_bus_error failure = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int result =
      sd_bus_call_method(bus, name, path, interface, member, &failure, &reply, types, args...);
  if (result < 0) why_not = std::string(member) + ": " + dbus::bus_error_text(&failure, result);
  sd_bus_error_free(&failure);
  return dbus::Message(result < 0 ? nullptr : reply);
}

}  // namespace

std::unique_ptr<RemoteDesktop> RemoteDesktop::open(bool pointer_area, bool clipboard,
                                                   std::string& why_not) {
  dbus::Bus bus = dbus::open_session_bus(why_not);
  if (!bus) return nullptr;
  sd_bus* b = bus.get();
  if (!dbus::name_has_owner(b, kRemoteDesktopName)) {
    why_not = std::string(kRemoteDesktopName) + " is not on the session bus (not a GNOME session)";
    return nullptr;
  }
  std::unique_ptr<RemoteDesktop> session(new RemoteDesktop);
  dbus::Message created = call_method(b, kRemoteDesktopName, "/org/gnome/Mutter/RemoteDesktop",
                                      kRemoteDesktopName, "CreateSession", why_not, "");
  const char* path = nullptr;
  if (!created || sd_bus_message_read(created.get(), "o", &path) < 0) {
    if (created) why_not = "CreateSession gave no session";
    return nullptr;
  }
  session->path_ = path;
  session->bus_ = std::move(bus);
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal(b, &slot, kRemoteDesktopName, path, kRemoteDesktopSession, "Closed",
                          on_closed, session.get()) >= 0)
    session->closed_watch_.reset(slot);

  if (pointer_area) {
    dbus::Message id_reply =
        call_method(b, kRemoteDesktopName, path, "org.freedesktop.DBus.Properties", "Get", why_not,
                    "ss", kRemoteDesktopSession, "SessionId");
    const char* id = nullptr;
    if (!id_reply || sd_bus_message_read(id_reply.get(), "v", "s", &id) < 0) {
      if (id_reply) why_not = "the session has no SessionId";
      return nullptr;
    }
    if (!read_layout(b, session->area_, why_not)) return nullptr;
    dbus::Message cast =
        call_method(b, kScreenCastName, "/org/gnome/Mutter/ScreenCast", kScreenCastName,
                    "CreateSession", why_not, "a{sv}", 1, "remote-desktop-session-id", "s", id);
    const char* cast_path = nullptr;
    if (!cast || sd_bus_message_read(cast.get(), "o", &cast_path) < 0) {
      if (cast) why_not = "CreateSession gave no screen cast";
      return nullptr;
    }
    session->cast_path_ = cast_path;
    const LayoutBox& area = session->area_;
    dbus::Message stream =
        call_method(b, kScreenCastName, cast_path, "org.gnome.Mutter.ScreenCast.Session",
                    "RecordArea", why_not, "iiiia{sv}", area.x, area.y, area.width, area.height, 0);
    const char* stream_path = nullptr;
    if (!stream || sd_bus_message_read(stream.get(), "o", &stream_path) < 0) {
      if (stream) why_not = "RecordArea gave no stream";
      return nullptr;
    }
    session->stream_ = stream_path;
  }
  if (clipboard && !session->call("EnableClipboard", "a{sv}", 0)) {
    why_not = session->error_;
    return nullptr;
  }
  if (!session->call("Start", "")) {
    why_not = session->error_;
    return nullptr;
  }
  return session;
}

RemoteDesktop::~RemoteDesktop() {
  if (!path_.empty() && !closed()) {
    sd_bus_call_method(bus_.get(), kRemoteDesktopName, path_.c_str(), kRemoteDesktopSession, "Stop",
                       nullptr, nullptr, "");
  }
}

int RemoteDesktop::on_closed(sd_bus_message*, void* self, sd_bus_error*) {
  static_cast<RemoteDesktop*>(self)->closed_ = true;
  return 0;
}

bool RemoteDesktop::closed() {
  while (!closed_ && sd_bus_process(bus_.get(), nullptr) > 0) {
  }
  return closed_;
}

bool RemoteDesktop::begin_call() {
  if (!closed()) return true;
  error_ = "the remote desktop session was stopped";
  return false;
}

}  // namespace tapline::platform::gnome
