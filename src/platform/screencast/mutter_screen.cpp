#include "platform/screencast/mutter_screen.h"

#include <chrono>
#include <vector>

#include "platform/dbus/dbus.h"
#include "platform/screencast/monitor_streams_screen.h"
#include "platform/screencast/pipewire_stream.h"

namespace tapline::platform {
namespace {

using dbus::Bus;
using dbus::Message;
using dbus::SignalWait;
using screencast::MonitorStreamsScreen;
using screencast::PipeWireStream;

constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kSessionInterface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr uint32_t kCursorAsMetadata = 2;
// mutter names a stream's PipeWire node as soon as the session starts.
constexpr std::chrono::milliseconds kStreamAddedBound{10000};

struct MonitorPlace {
  std::string connector;  // empty: the primary monitor
  int x = 0;
  int y = 0;
};

// The logical monitors and where they lie, from mutter's display configuration: one
// connector each (a mirrored group shows one picture). Empty when it cannot be read.
std::vector<MonitorPlace> monitor_layout(sd_bus* bus) {
  std::vector<MonitorPlace> places;
  std::string why_not;
  Message request =
      dbus::new_method_call(bus, kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig",
                            kDisplayConfigName, "GetCurrentState");
  Message reply = request ? dbus::call(bus, request.get(), why_not) : nullptr;
  if (!reply) return places;
  sd_bus_message* m = reply.get();
  uint32_t serial = 0;
  if (sd_bus_message_read(m, "u", &serial) < 0 ||
      sd_bus_message_skip(m, "a((ssss)a(siiddada{sv})a{sv})") < 0 ||
      sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})") < 0)
    return {};
  while (sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}") > 0) {
    MonitorPlace place;
    double scale = 1;
    uint32_t transform = 0;
    int primary = 0;
    if (sd_bus_message_read(m, "iidub", &place.x, &place.y, &scale, &transform, &primary) < 0 ||
        sd_bus_message_enter_container(m, 'a', "(ssss)") < 0)
      return {};
    const char *connector, *vendor, *product, *serial_text;
    while (sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial_text) > 0)
      if (place.connector.empty()) place.connector = connector;
    if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_skip(m, "a{sv}") < 0 ||
        sd_bus_message_exit_container(m) < 0)
      return {};
    if (!place.connector.empty()) places.push_back(place);
  }
  return places;
}

// The recorded monitors as one screen, for as long as the session lasts.
class MutterScreen final : public MonitorStreamsScreen {
 public:
  MutterScreen(Bus bus, std::string session, std::vector<Monitor> monitors)
      : MonitorStreamsScreen(std::move(monitors), "the GNOME screen cast"),
        bus_(std::move(bus)),
        session_(std::move(session)) {}

  ~MutterScreen() override {
    end_streams();  // the streams end before the session does
    std::string ignored;
    if (Message stop = dbus::new_method_call(bus_.get(), kMutterScreenCastName, session_.c_str(),
                                             kSessionInterface, "Stop"))
      dbus::call(bus_.get(), stop.get(), ignored);
  }

 private:
  Bus bus_;  // mutter ends the session when this connection goes
  std::string session_;
};

}  // namespace

std::unique_ptr<ScreenSource> open_mutter_screen(std::string& why_not) {
  Bus bus = dbus::open_session_bus(why_not);
  if (!bus) return nullptr;
  sd_bus* b = bus.get();
  if (!dbus::name_has_owner(b, kMutterScreenCastName)) {
    why_not = std::string(kMutterScreenCastName) +
              " is not on the session bus (a GNOME session offers it)";
    return nullptr;
  }

  std::vector<MonitorPlace> places = monitor_layout(b);
  if (places.empty()) places.push_back({});  // the primary monitor alone

  Message create = dbus::new_method_call(b, kMutterScreenCastName, kScreenCastPath,
                                         "org.gnome.Mutter.ScreenCast", "CreateSession");
  if (!create || sd_bus_message_append(create.get(), "a{sv}", 0) < 0) {
    why_not = "cannot build a D-Bus call";
    return nullptr;
  }
  Message created = dbus::call(b, create.get(), why_not);
  const char* session_path = nullptr;
  if (!created || sd_bus_message_read(created.get(), "o", &session_path) < 0) {
    if (created) why_not = "CreateSession gave no session";
    return nullptr;
  }
  const std::string session = session_path;

  // Each monitor's stream, and a watch for its PipeWire node made before the start.
  std::vector<MutterScreen::Monitor> monitors;
  std::vector<std::unique_ptr<SignalWait>> added;
  for (const MonitorPlace& place : places) {
    Message record = dbus::new_method_call(b, kMutterScreenCastName, session.c_str(),
                                           kSessionInterface, "RecordMonitor");
    if (!record || sd_bus_message_append(record.get(), "sa{sv}", place.connector.c_str(), 1,
                                         "cursor-mode", "u", kCursorAsMetadata) < 0) {
      why_not = "cannot build a D-Bus call";
      return nullptr;
    }
    Message recorded = dbus::call(b, record.get(), why_not);
    const char* stream_path = nullptr;
    if (!recorded || sd_bus_message_read(recorded.get(), "o", &stream_path) < 0) {
      if (recorded) why_not = "RecordMonitor gave no stream";
      return nullptr;
    }
    added.push_back(std::make_unique<SignalWait>(b, kMutterScreenCastName, stream_path,
                                                 kStreamInterface, "PipeWireStreamAdded"));
    monitors.push_back(
        {nullptr, {place.x, place.y}, place.connector.empty() ? "primary" : place.connector});
  }
  Message start =
      dbus::new_method_call(b, kMutterScreenCastName, session.c_str(), kSessionInterface, "Start");
  if (!start || !dbus::call(b, start.get(), why_not)) {
    if (!start) why_not = "cannot build a D-Bus call";
    return nullptr;
  }
  for (size_t i = 0; i < monitors.size(); ++i) {
    Message signal = added[i]->wait(kStreamAddedBound, why_not);
    uint32_t node = 0;
    if (!signal || sd_bus_message_read(signal.get(), "u", &node) < 0) {
      if (signal) why_not = "PipeWireStreamAdded gave no node";
      return nullptr;
    }
    monitors[i].stream = PipeWireStream::open(-1, node, why_not);
    if (!monitors[i].stream) return nullptr;
  }
  return std::make_unique<MutterScreen>(std::move(bus), session, std::move(monitors));
}

}  // namespace tapline::platform
