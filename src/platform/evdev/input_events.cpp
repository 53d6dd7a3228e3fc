#include "platform/input_events.h"

#include <libevdev/libevdev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/evdev/devices.h"
#include "platform/evdev/keymap.h"

namespace tapline::platform {
namespace {

// The listeners' button numbers of the devices' buttons; 0 for others (a touchpad's touch).
int button_number(unsigned code) {
  switch (code) {
    case BTN_LEFT:
      return kLeftButton;
    case BTN_MIDDLE:
      return kMiddleButton;
    case BTN_RIGHT:
      return kRightButton;
    case BTN_SIDE:
    case BTN_BACK:
      return 8;
    case BTN_EXTRA:
    case BTN_FORWARD:
      return 9;
    default:
      return 0;
  }
}

uint32_t milliseconds(const input_event& event) {
  return static_cast<uint32_t>(static_cast<uint64_t>(event.input_event_sec) * 1000 +
                               static_cast<uint64_t>(event.input_event_usec) / 1000);
}

class EvdevInputListener final : public InputListener {
 public:
  EvdevInputListener(std::unique_ptr<EvdevDevices> devices, InputSink sink, void* context)
      : devices_(std::move(devices)),
        sink_(sink),
        context_(context),
        stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    const KeyboardLayout layout = host_keyboard_layout();
    if (!map_evdev_key_events(layout, virtual_keys_)) {
      say_layout_unknown(layout);
      map_evdev_key_events({}, virtual_keys_);
    }
    thread_ = std::thread([this] { run(); });
  }

  ~EvdevInputListener() override {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(stop_fd_, &one, sizeof one);
    thread_.join();
    close(stop_fd_);
  }

  EvdevInputListener(const EvdevInputListener&) = delete;
  EvdevInputListener& operator=(const EvdevInputListener&) = delete;

 private:
  void run() {
    std::vector<pollfd> waits;
    for (;;) {
      // The stop, the folder's changes, then each device.
      waits.assign({{stop_fd_, POLLIN, 0}, {devices_->watch_fd(), POLLIN, 0}});
      for (const EvdevDevices::Device& device : devices_->devices())
        waits.push_back({device.fd, POLLIN, 0});
      if (poll(waits.data(), waits.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (waits[0].revents != 0) return;
      bool devices_changed = waits[1].revents != 0 && devices_->update();
      for (size_t i = 2; i < waits.size(); ++i)
        if (waits[i].revents != 0 && !read_device(waits[i].fd)) devices_changed = true;
      if (devices_changed) release_keys_of_gone_devices();
    }
  }

  // Everything the device has queued. After an overflow of its queue libevdev hands out
  // the changes that were lost, so no key stays down for the listener that came up. False
  // when the device has gone.
  bool read_device(int fd) {
    libevdev* evdev = nullptr;
    for (const EvdevDevices::Device& device : devices_->devices())
      if (device.fd == fd) evdev = device.evdev;
    if (evdev == nullptr) return false;  // gone with the folder's change just taken in
    unsigned flags = LIBEVDEV_READ_FLAG_NORMAL;
    for (;;) {
      input_event event{};
      const int status = libevdev_next_event(evdev, flags, &event);
      if (status == -EAGAIN) {
        if (flags == LIBEVDEV_READ_FLAG_SYNC) {
          flags = LIBEVDEV_READ_FLAG_NORMAL;
          continue;
        }
        return true;
      }
      if (status < 0) {
        devices_->drop(fd);  // unplugged: its node goes too, but the folder may tell later
        return false;
      }
      if (status == LIBEVDEV_READ_STATUS_SYNC && flags == LIBEVDEV_READ_FLAG_NORMAL) {
        flags = LIBEVDEV_READ_FLAG_SYNC;  // the dropped-events marker itself says nothing
        continue;
      }
      handle(event);
    }
  }

  // A key held on a device that has gone (unplugged with the key down) may never come up
  // from it: the release the kernel sends is lost when the device is gone before it is
  // read. It comes up now, unless another device holds it.
  void release_keys_of_gone_devices() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    input_event at{};
    at.input_event_sec = now.tv_sec;
    at.input_event_usec = now.tv_nsec / 1000;
    for (unsigned code = 0; code < down_.size(); ++code) {
      if (!down_[code]) continue;
      bool held = false;
      for (const EvdevDevices::Device& device : devices_->devices())
        if (libevdev_get_event_value(device.evdev, EV_KEY, code) != 0) held = true;
      if (!held) key(code, false, milliseconds(at));
    }
  }

  void handle(const input_event& event) {
    if (event.type == EV_KEY && event.value != 2)  // 2: auto-repeat
      key(event.code, event.value == 1, milliseconds(event));
    else if (event.type == EV_REL && (event.code == REL_WHEEL || event.code == REL_HWHEEL))
      wheel(event.code == REL_HWHEEL, event.value, milliseconds(event));
  }

  void key(unsigned code, bool down, uint32_t time) {
    if (code >= down_.size()) return;
    // Merged over the devices, as one keyboard: a release of a key never seen down was
    // pressed before listening began (the Enter that started the program).
    if (down_[code] == down) return;
    down_[code] = down;
    const InputKind kind = down ? InputKind::key_down : InputKind::key_up;
    if (const int button = button_number(code)) {
      sink_({down ? InputKind::button_down : InputKind::button_up, button, -1, -1, time}, context_);
    } else if (code < virtual_keys_.size() && virtual_keys_[code] != 0) {
      sink_({kind, virtual_keys_[code], -1, -1, time}, context_);
    }
  }

  // Each detent is one wheel step: positive values scroll up or right.
  void wheel(bool horizontal, int detents, uint32_t time) {
    const int button = horizontal ? (detents > 0 ? kWheelRight : kWheelLeft)
                                  : (detents > 0 ? kWheelUp : kWheelDown);
    for (int i = 0; i < std::abs(detents); ++i)
      sink_({InputKind::button_down, button, -1, -1, time}, context_);
  }

  const std::unique_ptr<EvdevDevices> devices_;
  const InputSink sink_;
  void* const context_;
  const int stop_fd_;
  EvdevKeyVirtualKeys virtual_keys_{};
  std::bitset<KEY_MAX + 1> down_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<InputListener> listen_to_evdev_input(InputSink sink, void* context,
                                                     const InputListenOptions& options,
                                                     std::string& why_not) {
  if (options.motion_interval_ms > 0) {
    why_not = "the input devices give no pointer positions (TAPLINE_KEYS=x11 reads the X server's)";
    return nullptr;
  }
  auto devices = std::make_unique<EvdevDevices>();
  if (devices->unwatched()) {
    why_not =
        std::string("/dev/input cannot be watched (") + std::strerror(devices->watch_error()) + ")";
    return nullptr;
  }
  if (devices->open_devices() == 0 && devices->refused() > 0) {
    why_not = std::string(
                  "the input devices under /dev/input cannot be read (permission "
                  "denied): ") +
              kInputGroupHint;
    return nullptr;
  }
  return std::make_unique<EvdevInputListener>(std::move(devices), sink, context);
}

}  // namespace tapline::platform
