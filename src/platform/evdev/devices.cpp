#include "platform/evdev/devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "system/console.h"

namespace tapline::platform {
namespace {

// Nodes appear and vanish with their devices; udev gives a new node its group and mode
// only after making it, so a change of attributes may make a refused node readable.
constexpr uint32_t kFolderChanges = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_TO | IN_MOVED_FROM;

bool is_event_node(const char* name) { return std::strncmp(name, "event", 5) == 0; }

void close_device(const EvdevDevices::Device& device) {
  libevdev_free(device.evdev);
  close(device.fd);
}

// ORs one device's bits, read through `request`, into `into`; false when the device has
// gone (its node may still be listed until the folder's change is taken in).
template <typename Bits>
bool add_bits(int fd, unsigned long request, Bits& into) {
  Bits own;
  if (ioctl(fd, request, own.words.data()) < 0) return errno != ENODEV;
  for (size_t i = 0; i < own.words.size(); ++i) into.words[i] |= own.words[i];
  return true;
}

// False once the device has gone: every request then fails with ENODEV.
bool present(int fd) {
  int version = 0;
  return ioctl(fd, EVIOCGVERSION, &version) == 0 || errno != ENODEV;
}

}  // namespace

EvdevDevices::EvdevDevices(std::string folder) : folder_(std::move(folder)) {
  watch_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  changed_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (watch_fd_ < 0 || changed_fd_ < 0) {
    watch_error_ = errno;
    return;
  }
  if (watch_folder()) rescan();
}

EvdevDevices::~EvdevDevices() {
  for (Device& device : devices_) close_device(device);
  if (watch_fd_ >= 0) close(watch_fd_);
  if (changed_fd_ >= 0) close(changed_fd_);
}

bool EvdevDevices::watch_folder() {
  folder_watch_ = inotify_add_watch(watch_fd_, folder_.c_str(), kFolderChanges);
  if (folder_watch_ < 0 && errno == ENOENT && parent_watch_ < 0) {
    // Until the folder exists (no input device yet, or a system that makes it late) its
    // parent says when it comes. One made between the two watches is caught by the second
    // try.
    const size_t slash = folder_.rfind('/');
    const std::string parent = slash == 0 ? "/" : folder_.substr(0, slash);
    parent_watch_ = inotify_add_watch(watch_fd_, parent.c_str(), IN_CREATE | IN_MOVED_TO);
    if (parent_watch_ >= 0)
      folder_watch_ = inotify_add_watch(watch_fd_, folder_.c_str(), kFolderChanges);
  }
  watch_error_ = folder_watch_ >= 0 ? 0 : errno;
  if (folder_watch_ >= 0 && parent_watch_ >= 0) {
    inotify_rm_watch(watch_fd_, parent_watch_);
    parent_watch_ = -1;
  }
  return folder_watch_ >= 0;
}

bool EvdevDevices::update() {
  if (watch_fd_ < 0) return false;
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  bool folder_may_have_come = false;
  for (;;) {
    const ssize_t got = read(watch_fd_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->wd == folder_watch_ && (event->mask & IN_IGNORED)) {
        folder_watch_ = -1;  // the folder went, its devices with it; it may come back
        changed = true;
      } else if (event->mask & IN_Q_OVERFLOW) {
        changed = true;  // an overflowed queue names no file: anything may have changed
      } else if (event->wd == parent_watch_) {
        folder_may_have_come = true;
      } else if (event->len > 0 && is_event_node(event->name)) {
        changed = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (folder_watch_ < 0 && (folder_may_have_come || changed) && watch_folder()) changed = true;
  if (changed) rescan();
  return changed;
}

void EvdevDevices::drop(int fd) {
  if (std::erase_if(devices_, [fd](const Device& device) {
        if (device.fd != fd) return false;
        close_device(device);
        return true;
      }) > 0)
    note_change();
}

void EvdevDevices::note_change() {
  ++changes_;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(changed_fd_, &one, sizeof one);
}

void EvdevDevices::rescan() {
  DIR* folder = folder_watch_ >= 0 ? opendir(folder_.c_str()) : nullptr;
  std::vector<Device> found;
  int refused = 0;
  if (folder != nullptr) {
    while (const dirent* entry = readdir(folder)) {
      if (!is_event_node(entry->d_name)) continue;
      if (found.size() == kMaxOpen) {
        static std::atomic<bool> said{false};
        if (!said.exchange(true))
          system::console_diagnostic(
              "%s holds more than %zu input devices: keys are read from %zu of them only\n",
              folder_.c_str(), kMaxOpen, kMaxOpen);
        break;
      }
      const std::string path = folder_ + "/" + entry->d_name;
      struct stat node {};
      if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) continue;
      // A device still open under the same node is kept as it is. One pulled out and
      // another plugged in since the last reading may share the node's name and number:
      // the old one no longer answers.
      auto kept = std::find_if(devices_.begin(), devices_.end(), [&](const Device& device) {
        return device.path == path && device.node == node.st_rdev && present(device.fd);
      });
      if (kept != devices_.end()) {
        found.push_back(*kept);
        devices_.erase(kept);
        continue;
      }
      const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        if (errno == EACCES || errno == EPERM) ++refused;
        continue;
      }
      // Event times on the monotonic clock: they count like the tick clock and never jump.
      const int clock = CLOCK_MONOTONIC;
      ioctl(fd, EVIOCSCLOCKID, &clock);
      libevdev* evdev = nullptr;
      if (libevdev_new_from_fd(fd, &evdev) == 0 && libevdev_has_event_type(evdev, EV_KEY)) {
        found.push_back(
            {path, node.st_rdev, fd, evdev, libevdev_has_event_type(evdev, EV_LED) != 0});
      } else {
        libevdev_free(evdev);
        close(fd);
      }
    }
    closedir(folder);
  }
  for (Device& gone : devices_) close_device(gone);
  devices_ = std::move(found);
  refused_ = refused;
  note_change();
}

KeyBits EvdevDevices::held_keys() {
  KeyBits held;
  if (std::erase_if(devices_, [&](const Device& device) {
        if (add_bits(device.fd, EVIOCGKEY(sizeof held.words), held)) return false;
        close_device(device);
        return true;
      }) > 0)
    note_change();
  return held;
}

LedBits EvdevDevices::lit_leds() {
  LedBits lit;
  if (std::erase_if(devices_, [&](const Device& device) {
        if (!device.has_leds || add_bits(device.fd, EVIOCGLED(sizeof lit.words), lit)) return false;
        close_device(device);
        return true;
      }) > 0)
    note_change();
  return lit;
}

std::shared_ptr<SharedEvdevDevices> shared_evdev_devices() {
  static std::mutex lock;
  static std::weak_ptr<SharedEvdevDevices> kept;
  const std::lock_guard<std::mutex> hold(lock);
  std::shared_ptr<SharedEvdevDevices> devices = kept.lock();
  if (!devices) {
    devices = std::make_shared<SharedEvdevDevices>();
    kept = devices;
  }
  return devices;
}

}  // namespace tapline::platform
