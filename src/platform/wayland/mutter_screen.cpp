#include "platform/wayland/mutter_screen.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/console.h"
#include "platform/wayland/dbus.h"
#include "platform/wayland/pipewire_stream.h"

namespace tapline::platform {
namespace {

using wayland::Bus;
using wayland::Message;
using wayland::PipeWireStream;
using wayland::SignalWait;

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
      wayland::new_method_call(bus, kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig",
                               kDisplayConfigName, "GetCurrentState");
  Message reply = request ? wayland::call(bus, request.get(), why_not) : nullptr;
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

struct Monitor {
  MonitorPlace place;
  std::unique_ptr<PipeWireStream> stream;
  bool said = false;  // that it gives no picture
};

class MutterScreen final : public ScreenSource {
 public:
  MutterScreen(Bus bus, std::string session, std::vector<Monitor> monitors)
      : bus_(std::move(bus)), session_(std::move(session)), monitors_(std::move(monitors)) {}

  ~MutterScreen() override {
    monitors_.clear();  // the streams end before the session does
    std::string ignored;
    if (Message stop = wayland::new_method_call(bus_.get(), kMutterScreenCastName, session_.c_str(),
                                                kSessionInterface, "Stop"))
      wayland::call(bus_.get(), stop.get(), ignored);
  }

  ScreenSize size() override {
    ScreenSize box;
    for (Monitor& monitor : monitors_) {
      const ScreenSize own = monitor.stream->size();
      if (own.width <= 0 || own.height <= 0) {
        say_once(monitor);
        continue;
      }
      box.width = std::max(box.width, monitor.place.x + own.width);
      box.height = std::max(box.height, monitor.place.y + own.height);
    }
    return box;
  }

  // The monitor that shows the cursor says where it is; while none does (the cursor is
  // hidden for a moment), it is where it was last seen.
  std::optional<ScreenPoint> cursor() override {
    for (Monitor& monitor : monitors_)
      if (const auto seen = monitor.stream->cursor())
        last_cursor_ = ScreenPoint{monitor.place.x + seen->x, monitor.place.y + seen->y};
    return last_cursor_;
  }

  // Reads the newest frame too. A grab's view from before stays mapped: the stream keeps
  // every buffer mapped while it has it.
  std::optional<ColorValue> pixel(ScreenPoint point) override {
    for (Monitor& monitor : monitors_) {
      PixelView frame;
      const int x = point.x - monitor.place.x, y = point.y - monitor.place.y;
      if (x < 0 || y < 0 || !monitor.stream->newest_frame(frame)) continue;
      if (x < frame.width && y < frame.height) return image::color_of(frame.row(y)[x]);
    }
    // Between monitors the screen is black, as a grab shows it.
    const ScreenSize box = size();
    if (point.x < 0 || point.y < 0 || point.x >= box.width || point.y >= box.height)
      return std::nullopt;
    return ColorValue{0};
  }

  // A monitor that shows nothing is named once, with the reason.
  void say_once(Monitor& monitor) {
    if (monitor.said) return;
    monitor.said = true;
    const std::string name = monitor.place.connector.empty() ? "primary" : monitor.place.connector;
    console_diagnostic("the GNOME screen cast of monitor %s gives no picture: %s\n", name.c_str(),
                       monitor.stream->failure().c_str());
  }

  bool grab(int width, int height, PixelView& out) override {
    out = PixelView{};
    if (width <= 0 || height <= 0) return false;
    // One monitor at the origin: its newest frame where it lies.
    if (monitors_.size() == 1 && monitors_[0].place.x == 0 && monitors_[0].place.y == 0) {
      if (!monitors_[0].stream->newest_frame(out)) return false;
      out.width = std::min(width, out.width);
      out.height = std::min(height, out.height);
      return true;
    }
    // Several: each newest frame copied into its place; what no monitor covers is black.
    const size_t count = static_cast<size_t>(width) * height;
    if (composed_.size() != count) composed_.assign(count, 0);
    std::fill(composed_.begin(), composed_.end(), 0);
    bool any = false;
    for (Monitor& monitor : monitors_) {
      PixelView frame;
      if (!monitor.stream->newest_frame(frame)) continue;
      any = true;
      const int left = monitor.place.x, top = monitor.place.y;
      const int columns = std::min(frame.width, width - left);
      for (int y = 0; y < frame.height && top + y < height; ++y)
        if (columns > 0)
          std::memcpy(composed_.data() + static_cast<ptrdiff_t>(top + y) * width + left,
                      frame.row(y), static_cast<size_t>(columns) * sizeof(Pixel));
    }
    if (any) out = PixelView{composed_.data(), width, width, height};
    return any;
  }

 private:
  Bus bus_;  // mutter ends the session when this connection goes
  std::string session_;
  std::vector<Monitor> monitors_;
  std::optional<ScreenPoint> last_cursor_;
  std::vector<Pixel> composed_;
};

}  // namespace

std::unique_ptr<ScreenSource> open_mutter_screen(std::string& why_not) {
  Bus bus = wayland::open_session_bus(why_not);
  if (!bus) return nullptr;
  sd_bus* b = bus.get();
  if (!wayland::name_has_owner(b, kMutterScreenCastName)) {
    why_not = std::string(kMutterScreenCastName) +
              " is not on the session bus (a GNOME session offers it)";
    return nullptr;
  }

  std::vector<MonitorPlace> places = monitor_layout(b);
  if (places.empty()) places.push_back({});  // the primary monitor alone

  Message create = wayland::new_method_call(b, kMutterScreenCastName, kScreenCastPath,
                                            "org.gnome.Mutter.ScreenCast", "CreateSession");
  if (!create || sd_bus_message_append(create.get(), "a{sv}", 0) < 0) {
    why_not = "cannot build a D-Bus call";
    return nullptr;
  }
  Message created = wayland::call(b, create.get(), why_not);
  const char* session_path = nullptr;
  if (!created || sd_bus_message_read(created.get(), "o", &session_path) < 0) {
    if (created) why_not = "CreateSession gave no session";
    return nullptr;
  }
  const std::string session = session_path;

  // Each monitor's stream, and a watch for its PipeWire node made before the start.
  std::vector<Monitor> monitors;
  std::vector<std::unique_ptr<SignalWait>> added;
  for (const MonitorPlace& place : places) {
    Message record = wayland::new_method_call(b, kMutterScreenCastName, session.c_str(),
                                              kSessionInterface, "RecordMonitor");
    if (!record || sd_bus_message_append(record.get(), "sa{sv}", place.connector.c_str(), 1,
                                         "cursor-mode", "u", kCursorAsMetadata) < 0) {
      why_not = "cannot build a D-Bus call";
      return nullptr;
    }
    Message recorded = wayland::call(b, record.get(), why_not);
    const char* stream_path = nullptr;
    if (!recorded || sd_bus_message_read(recorded.get(), "o", &stream_path) < 0) {
      if (recorded) why_not = "RecordMonitor gave no stream";
      return nullptr;
    }
    added.push_back(std::make_unique<SignalWait>(b, kMutterScreenCastName, stream_path,
                                                 kStreamInterface, "PipeWireStreamAdded"));
    monitors.push_back({place, nullptr});
  }
  Message start = wayland::new_method_call(b, kMutterScreenCastName, session.c_str(),
                                           kSessionInterface, "Start");
  if (!start || !wayland::call(b, start.get(), why_not)) {
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
