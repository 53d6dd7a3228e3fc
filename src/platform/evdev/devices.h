// The host's input devices with keys (keyboards, and mice and touchpads for their buttons)
// as the kernel's evdev nodes under /dev/input, kept open and followed as devices come and
// go, so that their pressed keys and lock lights can be read at any time.
#pragma once

#include <linux/input.h>
#include <sys/types.h>

#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct libevdev;

namespace tapline::platform {

// What to do where the devices cannot be read.
inline constexpr const char* kInputGroupHint =
    "add yourself to the input group: sudo usermod -aG input $USER, then log in again";

// A bit per key or LED code, in the kernel's own layout (unsigned longs).
template <size_t kCodes>
struct CodeBits {
  static constexpr size_t kBitsPerWord = sizeof(unsigned long) * CHAR_BIT;
  std::array<unsigned long, (kCodes + kBitsPerWord - 1) / kBitsPerWord> words{};

  bool test(unsigned code) const {
    return code < kCodes && (words[code / kBitsPerWord] >> (code % kBitsPerWord)) & 1;
  }
};
using KeyBits = CodeBits<KEY_MAX + 1>;
using LedBits = CodeBits<LED_MAX + 1>;

class EvdevDevices {
 public:
  // Devices kept open at most: a machine with very many (a test rig, a KVM switch) must
  // not run the process out of file descriptors. The limit is said once.
  static constexpr size_t kMaxOpen = 64;

  // Watches `folder` (/dev/input), or its parent until the folder exists, and opens its
  // event nodes that report keys.
  explicit EvdevDevices(std::string folder = "/dev/input");
  ~EvdevDevices();
  EvdevDevices(const EvdevDevices&) = delete;
  EvdevDevices& operator=(const EvdevDevices&) = delete;

  struct Device {
    std::string path;
    dev_t node;
    int fd;
    libevdev* evdev;  // the device's capabilities, and its state for a reader of its events
    bool has_leds;
  };

  // Takes in the devices that came or went since the last call (a non-blocking look at
  // the folder's changes; the folder is read again only when it changed). True when the
  // devices changed.
  bool update();
  // Readable when the folder changed: the time to update.
  int watch_fd() const { return watch_fd_; }
  // Readable after the devices changed, whoever took the change in: for a thread that
  // waits on the devices while another thread may update them.
  int changed_fd() const { return changed_fd_; }
  // Counts the changes to devices(): their descriptors stay valid while it stays.
  uint64_t changes() const { return changes_; }
  const std::vector<Device>& devices() const { return devices_; }
  // Closes a device that has gone before its node did.
  void drop(int fd);

  // Neither the folder nor its parent can be watched; nothing will ever be read.
  bool unwatched() const { return folder_watch_ < 0 && parent_watch_ < 0; }
  // Why it cannot be watched: an errno value.
  int watch_error() const { return watch_error_; }
  // Event nodes the last reading of the folder could not open for lack of permission.
  int refused() const { return refused_; }
  int open_devices() const { return static_cast<int>(devices_.size()); }

  // The keys held and the LEDs lit on any of the devices. A device that has gone since the
  // last update is left out and dropped.
  KeyBits held_keys();
  LedBits lit_leds();

 private:
  bool watch_folder();
  void rescan();
  void note_change();

  std::string folder_;
  int watch_fd_ = -1;
  int folder_watch_ = -1;
  int parent_watch_ = -1;  // while the folder does not exist
  int changed_fd_ = -1;
  uint64_t changes_ = 0;
  int watch_error_ = 0;
  int refused_ = 0;
  std::vector<Device> devices_;
};

// The host's devices as the process keeps them, each opened once for the key state and the
// event listener's thread alike; used only with `lock` held.
struct SharedEvdevDevices {
  std::mutex lock;
  EvdevDevices devices;
};

// Opened at the first call, and kept while anyone holds them.
std::shared_ptr<SharedEvdevDevices> shared_evdev_devices();

}  // namespace tapline::platform
