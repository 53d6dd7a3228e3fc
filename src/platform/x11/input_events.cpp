#include "platform/input_events.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <bitset>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/virtual_keys.h"
#include "platform/x11/display.h"
#include "platform/x11/keymap.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

constexpr int kKeycodes = 256;
constexpr int kButtons = 256;

bool is_wheel(int button) { return button >= kWheelUp && button <= kWheelRight; }

// Raw events report each device's own input before any window gets it, on the root
// window, without a grab: the listener sees every key and button whichever window has the
// focus, and takes nothing from the programs that have it.
class X11InputListener final : public InputListener {
 public:
  X11InputListener(Display* display, int xi_opcode, InputSink sink, void* context,
                   const InputListenOptions& options)
      : display_(display),
        root_(DefaultRootWindow(display)),
        xi_opcode_(xi_opcode),
        sink_(sink),
        context_(context),
        motion_interval_ms_(options.motion_interval_ms),
        stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    map_x11_key_events(display_, virtual_keys_);
    find_scroll_valuators();
    thread_ = std::thread([this] { run(); });
  }

  ~X11InputListener() override {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof one);
    thread_.join();
    close(stop_fd_);
    XCloseDisplay(display_);
  }

  X11InputListener(const X11InputListener&) = delete;
  X11InputListener& operator=(const X11InputListener&) = delete;

 private:
  void run() {
    pollfd waits[2] = {{ConnectionNumber(display_), POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        handle(event);
      }
      if (poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (waits[1].revents != 0) return;
      // The server went away: Xlib has said so (survive_connection_loss); nothing more comes.
      if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
    }
  }

  void handle(XEvent& event) {
    if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      map_x11_key_events(display_, virtual_keys_);
      return;
    }
    XGenericEventCookie& cookie = event.xcookie;
    if (cookie.type != GenericEvent || cookie.extension != xi_opcode_ ||
        !XGetEventData(display_, &cookie))
      return;
    const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
    switch (cookie.evtype) {
      case XI_HierarchyChanged:
      case XI_DeviceChanged:
        find_scroll_valuators();
        break;
      case XI_RawKeyPress:
      case XI_RawKeyRelease:
        key(raw->detail, cookie.evtype == XI_RawKeyPress, static_cast<uint32_t>(raw->time));
        break;
      case XI_RawButtonPress:
      case XI_RawButtonRelease:
        // Wheel buttons made up from scroll valuators are counted from the valuators.
        if (!(is_wheel(raw->detail) && (raw->flags & XIPointerEmulated) != 0))
          button(raw->detail, cookie.evtype == XI_RawButtonPress, static_cast<uint32_t>(raw->time));
        break;
      case XI_RawMotion:
        scroll(*raw, static_cast<uint32_t>(raw->time));
        motion(static_cast<uint32_t>(raw->time));
        break;
      default:
        break;
    }
    XFreeEventData(display_, &cookie);
  }

  void key(int keycode, bool down, uint32_t time) {
    if (keycode < 0 || keycode >= kKeycodes) return;
    // A press of a key already down is auto-repeat; a release of a key never seen down
    // was pressed before listening began (the Enter that started the program).
    if (keys_down_[keycode] == down) return;
    keys_down_[keycode] = down;
    const int virtual_key = virtual_keys_[keycode];
    if (virtual_key == 0) return;
    sink_({down ? InputKind::key_down : InputKind::key_up, virtual_key, 0, 0, time}, context_);
  }

  void button(int number, bool down, uint32_t time) {
    if (number <= 0 || number >= kButtons) return;
    if (is_wheel(number)) {
      if (!down) return;  // a wheel step is its press; the release says nothing more
    } else {
      if (buttons_down_[number] == down) return;
      buttons_down_[number] = down;
    }
    const auto [x, y] = pointer();
    sink_({down ? InputKind::button_down : InputKind::button_up, number, x, y, time}, context_);
  }

  void motion(uint32_t time) {
    if (motion_interval_ms_ <= 0) return;
    if (reported_motion_ && time - last_motion_ < static_cast<uint32_t>(motion_interval_ms_))
      return;
    reported_motion_ = true;
    last_motion_ = time;
    const auto [x, y] = pointer();
    sink_({InputKind::motion, 0, x, y, time}, context_);
  }

  // A wheel that scrolls smoothly reports scroll valuators instead of buttons 4 to 7; each
  // increment of a scroll valuator is one wheel step (a negative increment scrolls the
  // other way).
  void scroll(const XIRawEvent& raw, uint32_t time) {
    if (scroll_valuators_.empty()) return;
    const double* value = raw.raw_values;
    for (int number = 0; number < raw.valuators.mask_len * 8; ++number) {
      if (!XIMaskIsSet(raw.valuators.mask, number)) continue;
      const double delta = *value++;
      for (ScrollValuator& valuator : scroll_valuators_) {
        if (valuator.device != raw.sourceid || valuator.number != number) continue;
        valuator.accumulated += delta;
        const double steps = std::trunc(valuator.accumulated / valuator.increment);
        valuator.accumulated -= steps * valuator.increment;
        const int forward = valuator.horizontal ? kWheelRight : kWheelDown;
        const int backward = valuator.horizontal ? kWheelLeft : kWheelUp;
        for (int i = 0; i < std::abs(static_cast<int>(steps)); ++i)
          button(steps > 0 ? forward : backward, true, time);
      }
    }
  }

  void find_scroll_valuators() {
    scroll_valuators_.clear();
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(display_, XIAllDevices, &count);
    if (devices == nullptr) return;
    for (int i = 0; i < count; ++i) {
      for (int c = 0; c < devices[i].num_classes; ++c) {
        if (devices[i].classes[c]->type != XIScrollClass) continue;
        const auto* info = reinterpret_cast<const XIScrollClassInfo*>(devices[i].classes[c]);
        if (info->increment == 0) continue;
        scroll_valuators_.push_back({devices[i].deviceid, info->number, info->increment,
                                     info->scroll_type == XIScrollTypeHorizontal, 0});
      }
    }
    XIFreeDeviceInfo(devices);
  }

  // Raw events carry device units, not screen positions: the position is asked for.
  std::pair<int, int> pointer() {
    Window root = None, child = None;
    int x = 0, y = 0, window_x = 0, window_y = 0;
    unsigned mask = 0;
    XQueryPointer(display_, root_, &root, &child, &x, &y, &window_x, &window_y, &mask);
    return {x, y};
  }

  struct ScrollValuator {
    int device;  // the physical device (the raw event's source)
    int number;
    double increment;
    bool horizontal;
    double accumulated;
  };

  Display* const display_;
  const Window root_;
  const int xi_opcode_;
  const InputSink sink_;
  void* const context_;
  const int motion_interval_ms_;
  const int stop_fd_;
  X11KeyVirtualKeys virtual_keys_{};
  std::bitset<kKeycodes> keys_down_;
  std::bitset<kButtons> buttons_down_;
  std::vector<ScrollValuator> scroll_valuators_;
  bool reported_motion_ = false;
  uint32_t last_motion_ = 0;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<InputListener> listen_to_x11_input(InputSink sink, void* context,
                                                   const InputListenOptions& options,
                                                   std::string& why_not) {
  XInitThreads();
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    const char* name = std::getenv("DISPLAY");
    why_not = name != nullptr && *name != '\0' ? std::string("no X11 display at ") + name
                                               : std::string("no X11 display (DISPLAY is not set)");
    return nullptr;
  }
  survive_connection_loss(display);
  int opcode = 0, first_event = 0, first_error = 0;
  int major = 2, minor = 2;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &first_event, &first_error) ||
      XIQueryVersion(display, &major, &minor) != Success || (major == 2 && minor < 1)) {
    // Before 2.1 raw events reach only a client that grabs the device.
    why_not = "the X11 display has no XInput 2.1";
    XCloseDisplay(display);
    return nullptr;
  }
  std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> bits{};
  XISetMask(bits.data(), XI_RawKeyPress);
  XISetMask(bits.data(), XI_RawKeyRelease);
  XISetMask(bits.data(), XI_RawButtonPress);
  XISetMask(bits.data(), XI_RawButtonRelease);
  XISetMask(bits.data(), XI_RawMotion);  // pointer moves, and smooth wheels' steps
  // Master devices only: each event once, whichever physical device sent it.
  std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> device_bits{};
  XISetMask(device_bits.data(), XI_HierarchyChanged);
  XISetMask(device_bits.data(), XI_DeviceChanged);
  XIEventMask masks[] = {
      {XIAllMasterDevices, static_cast<int>(bits.size()), bits.data()},
      // Devices that come, go or change: their scroll valuators are looked up again.
      {XIAllDevices, static_cast<int>(device_bits.size()), device_bits.data()},
  };
  XISelectEvents(display, DefaultRootWindow(display), masks, 2);
  // Once the server has the selection, every later event reaches the listener.
  XSync(display, False);
  return std::make_unique<X11InputListener>(display, opcode, sink, context, options);
}

}  // namespace tapline::platform
