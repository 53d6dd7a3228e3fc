#include "platform/input_events.h"

#include <libevdev/libevdev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
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

// Wheel steps told of one report at most.
constexpr long kMaxWheelSteps = 64;

uint32_t milliseconds(const input_event& event) {
  return static_cast<uint32_t>(static_cast<uint64_t>(event.input_event_sec) * 1000 +
                               static_cast<uint64_t>(event.input_event_usec) / 1000);
}

class EvdevInputListener final : public InputListener {
 public:
  EvdevInputListener(std::shared_ptr<SharedEvdevDevices> shared, InputSink sink, void* context)
      : shared_(std::move(shared)),
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
      // The stop, the folder's changes, the devices' changes, then each device.
      uint64_t changes = 0;
      {
        const std::lock_guard<std::mutex> hold(shared_->lock);
        changes = devices().changes();
        waits.assign({{stop_fd_, POLLIN, 0},
                      {devices().watch_fd(), POLLIN, 0},
                      {devices().changed_fd(), POLLIN, 0}});
        for (const EvdevDevices::Device& device : devices().devices())
          waits.push_back({device.fd, POLLIN, 0});
      }
      if (poll(waits.data(), waits.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (waits[0].revents != 0) return;
      {
        const std::lock_guard<std::mutex> hold(shared_->lock);
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(devices().changed_fd(), &count, sizeof count);
        if (waits[1].revents != 0) devices().update();
        // Once the devices changed (here, or on the key state's thread meanwhile) the
        // descriptors polled may be closed or stand for other devices: their events wait
        // for the next poll.
        for (size_t i = 3; i < waits.size() && devices().changes() == changes; ++i)
          if (waits[i].revents != 0) read_device(waits[i].fd);
        if (devices().changes() != changes) release_keys_of_gone_devices();
      }
      // Told without the lock, so that a listener that reads the key state cannot wait on
      // itself.
      for (const InputEvent& event : heard_) sink_(event, context_);
      heard_.clear();
    }
  }

  EvdevDevices& devices() { return shared_->devices; }

  // Everything the device has queued. After an overflow of its queue libevdev hands out
  // the changes that were lost, so no key stays down for the listener that came up. The
  // device is dropped when it has gone.
  void read_device(int fd) {
    libevdev* evdev = nullptr;
    for (const EvdevDevices::Device& device : devices().devices())
      if (device.fd == fd) evdev = device.evdev;
    unsigned flags = LIBEVDEV_READ_FLAG_NORMAL;
    for (;;) {
      input_event event{};
      const int status = libevdev_next_event(evdev, flags, &event);
      if (status == -EAGAIN) {
        if (flags == LIBEVDEV_READ_FLAG_SYNC) {
          flags = LIBEVDEV_READ_FLAG_NORMAL;
          continue;
        }
        return;
      }
      if (status < 0) {
        devices().drop(fd);  // unplugged: its node goes too, but the folder may tell later
        return;
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
      for (const EvdevDevices::Device& device : devices().devices())
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
      heard_.push_back(
          {down ? InputKind::button_down : InputKind::button_up, button, -1, -1, time});
    } else if (code < virtual_keys_.size() && virtual_keys_[code] != 0) {
      heard_.push_back({kind, virtual_keys_[code], -1, -1, time});
    }
  }

  // Each detent is one wheel step: positive values scroll up or right.
  void wheel(bool horizontal, int detents, uint32_t time) {
    const int button = horizontal ? (detents > 0 ? kWheelRight : kWheelLeft)
                                  : (detents > 0 ? kWheelUp : kWheelDown);
    // A wheel turns a few detents between reports; more comes from a broken device.
    const long steps = std::min(std::labs(detents), kMaxWheelSteps);
    for (long i = 0; i < steps; ++i)
      heard_.push_back({InputKind::button_down, button, -1, -1, time});
  }

  // Shared with the key state, which may take in changes of the devices on its thread.
  const std::shared_ptr<SharedEvdevDevices> shared_;
  const InputSink sink_;
  void* const context_;
  const int stop_fd_;
  EvdevKeyVirtualKeys virtual_keys_{};
  std::bitset<KEY_MAX + 1> down_;
  std::vector<InputEvent> heard_;  // in the last look at the devices
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
  std::shared_ptr<SharedEvdevDevices> shared = shared_evdev_devices();
  {
    const std::lock_guard<std::mutex> hold(shared->lock);
    const EvdevDevices& devices = shared->devices;
    if (devices.unwatched()) {
      why_not = std::string("/dev/input cannot be watched (") +
                std::strerror(devices.watch_error()) + ")";
      return nullptr;
    }
    if (devices.open_devices() == 0 && devices.refused() > 0) {
      why_not = std::string(
                    "the input devices under /dev/input cannot be read (permission "
                    "denied): ") +
                kInputGroupHint;
      return nullptr;
    }
  }
  return std::make_unique<EvdevInputListener>(std::move(shared), sink, context);
}

}  // namespace tapline::platform
