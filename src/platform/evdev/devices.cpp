#include "platform/evdev/devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tapline::platform {
namespace {

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
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    watch_error_ = errno;
    return;
  }
  // Nodes appear and vanish with their devices; udev gives a new node its group and mode
  // only after making it, so a change of attributes may make a refused node readable.
  if (inotify_add_watch(fd, folder_.c_str(),
                        IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
    watch_error_ = errno;
    close(fd);
    return;
  }
  watch_fd_ = fd;
  rescan();
}

EvdevDevices::~EvdevDevices() {
  for (Device& device : devices_) close_device(device);
  if (watch_fd_ >= 0) close(watch_fd_);
}

bool EvdevDevices::update() {
  if (watch_fd_ < 0) return false;
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  for (;;) {
    const ssize_t got = read(watch_fd_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // An overflowed queue names no file: anything may have changed.
      if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && is_event_node(event->name)))
        changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (changed) rescan();
  return changed;
}

void EvdevDevices::drop(int fd) {
  std::erase_if(devices_, [fd](const Device& device) {
    if (device.fd != fd) return false;
    close_device(device);
    return true;
  });
}

void EvdevDevices::rescan() {
  DIR* folder = opendir(folder_.c_str());
  std::vector<Device> found;
  int refused = 0;
  if (folder != nullptr) {
    while (const dirent* entry = readdir(folder)) {
      if (!is_event_node(entry->d_name)) continue;
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
}

KeyBits EvdevDevices::held_keys() {
  KeyBits held;
  std::erase_if(devices_, [&](const Device& device) {
    if (add_bits(device.fd, EVIOCGKEY(sizeof held.words), held)) return false;
    close_device(device);
    return true;
  });
  return held;
}

LedBits EvdevDevices::lit_leds() {
  LedBits lit;
  std::erase_if(devices_, [&](const Device& device) {
    if (!device.has_leds || add_bits(device.fd, EVIOCGLED(sizeof lit.words), lit)) return false;
    close_device(device);
    return true;
  });
  return lit;
}

}  // namespace tapline::platform
