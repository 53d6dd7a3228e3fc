#include "platform/wayland/display.h"

#include <wayland-client.h>
#include <wayland/xdg-output-unstable-v1-client-protocol.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/desktop.h"

namespace tapline::platform::wayland {

// The listeners of one output's wl_output and zxdg_output_v1 events.
struct OutputEvents {
  using Output = Connection::Output;
  static Output& of(void* data) { return *static_cast<Output*>(data); }

  static void geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                       const char*, const char*, int32_t transform) {
    Output& output = of(data);
    if (!output.xdg_position) output.pending.x = x, output.pending.y = y;
    output.pending.transform = transform;
  }
  static void mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height,
                   int32_t refresh) {
    if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
    OutputPlace& pending = of(data).pending;
    pending.mode_width = width, pending.mode_height = height, pending.refresh_mhz = refresh;
  }
  static void scale(void* data, wl_output*, int32_t factor) { of(data).pending.scale = factor; }
  static void name(void* data, wl_output*, const char* text) {
    if (of(data).pending.name.empty()) of(data).pending.name = text;
  }
  static void description(void*, wl_output*, const char*) {}
  static void done(void* data, wl_output*) { of(data).owner->output_done(of(data)); }

  static void logical_position(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    of(data).xdg_position = true;
    of(data).pending.x = x, of(data).pending.y = y;
  }
  static void logical_size(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
    of(data).pending.width = width, of(data).pending.height = height;
  }
  // Sent only by xdg-output before version 3; from then on wl_output's done covers both.
  static void xdg_done(void* data, zxdg_output_v1*) { of(data).owner->output_done(of(data)); }
  static void xdg_name(void* data, zxdg_output_v1*, const char* text) {
    of(data).pending.name = text;
  }
  static void xdg_description(void*, zxdg_output_v1*, const char*) {}
};

namespace {

const wl_output_listener output_listener = {
    OutputEvents::geometry, OutputEvents::mode, OutputEvents::done,
    OutputEvents::scale,    OutputEvents::name, OutputEvents::description,
};
const zxdg_output_v1_listener xdg_output_listener = {
    OutputEvents::logical_position, OutputEvents::logical_size,    OutputEvents::xdg_done,
    OutputEvents::xdg_name,         OutputEvents::xdg_description,
};

bool turned(int transform) { return (transform & 1) != 0; }  // 90 or 270 degrees

}  // namespace

void Connection::on_global(void* data, wl_registry*, uint32_t name, const char* interface,
                           uint32_t version) {
  auto* self = static_cast<Connection*>(data);
  self->globals_.push_back({name, interface, version});
  if (std::strcmp(interface, wl_output_interface.name) == 0) {
    self->add_output(name, version);
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 &&
             self->xdg_outputs_ == nullptr) {
    self->xdg_outputs_ = static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
        self->registry_, name, &zxdg_output_manager_v1_interface, std::min<uint32_t>(version, 3)));
    for (auto& output : self->outputs_) self->watch_logical_place(*output);
  }
}

void Connection::on_global_remove(void* data, wl_registry*, uint32_t name) {
  auto* self = static_cast<Connection*>(data);
  std::erase_if(self->globals_, [name](const Global& g) { return g.name == name; });
  auto found = std::find_if(self->outputs_.begin(), self->outputs_.end(),
                            [name](const auto& output) { return output->global == name; });
  if (found == self->outputs_.end()) return;
  Output& output = **found;
  if (self->listener_ && output.described) self->listener_(&output);
  if (output.xdg_output) zxdg_output_v1_destroy(output.xdg_output);
  if (wl_output_get_version(output.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
    wl_output_release(output.output);
  else
    wl_output_destroy(output.output);
  self->outputs_.erase(found);
  if (self->listener_) self->listener_(nullptr);
}

void Connection::add_output(uint32_t global, uint32_t version) {
  auto output = std::make_unique<Output>();
  output->owner = this;
  output->global = global;
  output->output = static_cast<wl_output*>(
      wl_registry_bind(registry_, global, &wl_output_interface, std::min<uint32_t>(version, 4)));
  wl_output_add_listener(output->output, &output_listener, output.get());
  watch_logical_place(*output);
  outputs_.push_back(std::move(output));
}

void Connection::watch_logical_place(Output& output) {
  if (xdg_outputs_ == nullptr || output.xdg_output != nullptr) return;
  output.xdg_output = zxdg_output_manager_v1_get_xdg_output(xdg_outputs_, output.output);
  zxdg_output_v1_add_listener(output.xdg_output, &xdg_output_listener, &output);
}

void Connection::output_done(Output& output) {
  OutputPlace& pending = output.pending;
  if (pending.mode_width <= 0 || pending.mode_height <= 0) return;
  // Without xdg-output the logical size follows from the mode, the scale and the turn.
  if (output.xdg_output == nullptr || pending.width <= 0 || pending.height <= 0) {
    const int scale = std::max(pending.scale, 1);
    const int w = pending.mode_width / scale, h = pending.mode_height / scale;
    pending.width = turned(pending.transform) ? h : w;
    pending.height = turned(pending.transform) ? w : h;
  }
  output.place = pending;
  output.described = true;
  if (listener_) listener_(nullptr);
}

std::unique_ptr<Connection> Connection::open(std::string& why_not) {
  const std::string name = wayland_socket_name();
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    why_not =
        "cannot connect to the Wayland compositor at " + name + " (" + std::strerror(errno) + ")";
    return nullptr;
  }
  std::unique_ptr<Connection> connection(new Connection);
  connection->display_ = display;
  connection->name_ = name;
  connection->registry_ = wl_display_get_registry(display);
  static const wl_registry_listener listener = {on_global, on_global_remove};
  wl_registry_add_listener(connection->registry_, &listener, connection.get());
  // Globals first, then what the outputs say of themselves, then xdg-output's answers to
  // requests made while the outputs spoke.
  for (int i = 0; i < 3; ++i) {
    if (!connection->roundtrip()) {
      why_not = "the Wayland compositor at " + name + " closed the connection";
      return nullptr;
    }
  }
  return connection;
}

Connection::~Connection() {
  listener_ = nullptr;
  for (auto& output : outputs_) {
    if (output->xdg_output) zxdg_output_v1_destroy(output->xdg_output);
    wl_output_destroy(output->output);
  }
  if (xdg_outputs_) zxdg_output_manager_v1_destroy(xdg_outputs_);
  if (registry_) wl_registry_destroy(registry_);
  if (display_) wl_display_disconnect(display_);
}

uint32_t Connection::version_of(const wl_interface& interface) const {
  for (const Global& global : globals_)
    if (global.interface == interface.name) return global.version;
  return 0;
}

void* Connection::bind(const wl_interface& interface, uint32_t version) {
  for (const Global& global : globals_)
    if (global.interface == interface.name)
      return wl_registry_bind(registry_, global.name, &interface,
                              std::min(version, global.version));
  return nullptr;
}

std::vector<const Connection::Output*> Connection::outputs() const {
  std::vector<const Output*> described;
  for (const auto& output : outputs_)
    if (output->described) described.push_back(output.get());
  return described;
}

bool Connection::roundtrip() { return wl_display_roundtrip(display_) >= 0; }

LayoutBox bounding_box(const std::vector<OutputPlace>& places) {
  if (places.empty()) return {};
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
  for (const OutputPlace& place : places) {
    left = std::min(left, place.x), top = std::min(top, place.y);
    right = std::max(right, place.x + place.width);
    bottom = std::max(bottom, place.y + place.height);
  }
  return {left, top, right - left, bottom - top};
}

}  // namespace tapline::platform::wayland
