#include "platform/wayland/display.h"

#include <poll.h>
#include <wayland-client.h>
#include <wayland/xdg-output-unstable-v1-client-protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "platform/desktop.h"
#include "system/bounded_wait.h"

namespace tapline::platform::wayland {

// The listeners of one output's wl_output and zxdg_output_v1 events.
struct OutputEvents {
  using Output = Connection::Output;
  static OutputDescription& of(void* data) { return static_cast<Output*>(data)->description; }
  static void done_with(void* data) {
    auto& output = *static_cast<Output*>(data);
    output.owner->output_done(output);
  }

  static void geometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                       const char*, const char*, int32_t transform) {
    of(data).geometry(x, y, transform);
  }
  static void mode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height,
                   int32_t refresh) {
    if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) of(data).mode(width, height, refresh);
  }
  static void scale(void* data, wl_output*, int32_t factor) { of(data).scale(factor); }
  static void name(void* data, wl_output*, const char* text) { of(data).name(text); }
  static void description(void*, wl_output*, const char*) {}
  static void done(void* data, wl_output*) { done_with(data); }

  static void logical_position(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    of(data).logical_position(x, y);
  }
  static void logical_size(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
    of(data).logical_size(width, height);
  }
  // Sent only by xdg-output before version 3; from then on wl_output's done covers both.
  static void xdg_done(void* data, zxdg_output_v1*) { done_with(data); }
  static void xdg_name(void* data, zxdg_output_v1*, const char* text) { of(data).xdg_name(text); }
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

void on_sync_done(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }
const wl_callback_listener sync_listener = {on_sync_done};

}  // namespace

void OutputDescription::geometry(int x, int y, int transform) {
  if (!logical_position_) pending_.x = x, pending_.y = y;
  pending_.transform = transform;
}

void OutputDescription::mode(int width, int height, int refresh_mhz) {
  pending_.mode_width = width, pending_.mode_height = height, pending_.refresh_mhz = refresh_mhz;
}

void OutputDescription::name(const char* text) {
  if (pending_.name.empty()) pending_.name = text;
}

void OutputDescription::logical_position(int x, int y) {
  logical_position_ = true;
  pending_.x = x, pending_.y = y;
}

void OutputDescription::logical_size(int width, int height) {
  logical_size_ = width > 0 && height > 0;
  pending_.width = width, pending_.height = height;
}

bool OutputDescription::done(OutputPlace& place) const {
  if (pending_.mode_width <= 0 || pending_.mode_height <= 0) return false;
  place = pending_;
  if (!logical_size_) {
    const bool quarter_turn = turned(pending_.transform);
    const int scale = std::max(pending_.scale, 1);
    place.width = (quarter_turn ? pending_.mode_height : pending_.mode_width) / scale;
    place.height = (quarter_turn ? pending_.mode_width : pending_.mode_height) / scale;
  }
  return true;
}

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
  if (!output.description.done(output.place)) return;
  output.described = true;
  if (listener_) listener_(nullptr);
}

std::unique_ptr<Connection> Connection::open(Failure& failure) {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    failure = {Failure::unreachable, errno};
    return nullptr;
  }
  std::unique_ptr<Connection> connection(new Connection);
  connection->display_ = display;
  connection->name_ = wayland_socket_name();
  connection->registry_ = wl_display_get_registry(display);
  static const wl_registry_listener listener = {on_global, on_global_remove};
  wl_registry_add_listener(connection->registry_, &listener, connection.get());
  // Globals first, then what the outputs say of themselves, then xdg-output's answers to
  // requests made while the outputs spoke.
  for (int i = 0; i < 3; ++i) {
    const Answer answer = connection->roundtrip();
    if (answer != Answer::given) {
      failure = {answer == Answer::silent    ? Failure::silent
                 : answer == Answer::stopped ? Failure::stopped
                                             : Failure::broken,
                 0};
      return nullptr;
    }
  }
  return connection;
}

std::unique_ptr<Connection> Connection::open(std::string& why_not) {
  Failure failure;
  std::unique_ptr<Connection> connection = open(failure);
  if (connection) return connection;
  const std::string at = "the Wayland compositor at " + wayland_socket_name();
  switch (failure.kind) {
    case Failure::unreachable:
      why_not = "cannot connect to " + at + " (" + std::strerror(failure.error) + ")";
      break;
    case Failure::silent:
      why_not = at + " does not answer";
      break;
    case Failure::broken:
      why_not = at + " closed the connection";
      break;
    case Failure::stopped:
      why_not = "stopped while waiting for " + at;
      break;
  }
  return nullptr;
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

Connection::Answer Connection::roundtrip() {
  bool answered = false;
  wl_callback* sync = wl_display_sync(display_);
  wl_callback_add_listener(sync, &sync_listener, &answered);
  const system::Deadline deadline = system::deadline_after(system::kPeerAnswerTimeout);
  Answer answer = Answer::given;
  while (!answered) {
    bool broken = false;
    while (!broken && wl_display_prepare_read(display_) != 0)
      broken = wl_display_dispatch_pending(display_) < 0;
    if (broken) {
      answer = Answer::broken;
      break;
    }
    if (answered) {
      wl_display_cancel_read(display_);
      break;
    }
    // What does not fit into the socket yet goes once there is room.
    pollfd ready{wl_display_get_fd(display_), POLLIN, 0};
    if (wl_display_flush(display_) < 0 && errno == EAGAIN) ready.events |= POLLOUT;
    const system::WaitEnd waited = system::wait_ready({&ready, 1}, deadline);
    if (waited != system::WaitEnd::ready) {
      wl_display_cancel_read(display_);
      answer = waited == system::WaitEnd::timed_out ? Answer::silent
               : waited == system::WaitEnd::stopped ? Answer::stopped
                                                    : Answer::broken;
      break;
    }
    if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      wl_display_cancel_read(display_);
      continue;
    }
    if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0) {
      answer = Answer::broken;
      break;
    }
  }
  wl_callback_destroy(sync);
  return answer;
}

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
