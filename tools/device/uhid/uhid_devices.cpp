#include "uhid/uhid_devices.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <span>

#include "core/device.h"

namespace tapline::device {
namespace {

constexpr const char* kUhidNode = "/dev/uhid";
// The kernel binds a driver to a new device within milliseconds; a machine under load
// gets ample room.
constexpr int kStartWithinMs = 5000;
// The device's USB identity: vendor, product, release.
constexpr uint32_t kVendor = 0x5131;
constexpr uint32_t kProduct = 0x2019;
constexpr uint32_t kVersion = 0x0100;

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void copy_text(uint8_t (&field)[sizeof(uhid_create2_req::name)], const std::string& text) {
  std::memcpy(field, text.c_str(), std::min(text.size() + 1, sizeof field));
  field[sizeof field - 1] = 0;
}

// Why /dev/uhid cannot be used, and what would change that, in one line.
std::string open_failure(int error) {
  if (error == ENOENT || error == ENODEV || error == ENXIO)
    return std::string(kUhidNode) +
           " is missing: the uhid module is not loaded (load it with sudo modprobe uhid, and "
           "at every boot with echo uhid | sudo tee /etc/modules-load.d/uhid.conf)";
  if (error == EACCES || error == EPERM)
    return "cannot open " + std::string(kUhidNode) + ": " + std::strerror(error) +
           "; run as root, or let a group make input devices with the udev rule "
           "KERNEL==\"uhid\", GROUP=\"tapline\", MODE=\"0660\" in "
           "/etc/udev/rules.d/70-tapline-uhid.rules (any member can then type as a keyboard)";
  return "cannot open " + std::string(kUhidNode) + ": " + std::strerror(error);
}

}  // namespace

uhid_event uhid_create_event(HidFunction function) {
  const HidLayout& layout = hid_layout(function);
  uhid_event event{};
  event.type = UHID_CREATE2;
  uhid_create2_req& create = event.u.create2;
  copy_text(create.name, std::string("Tapline software device ") + layout.name);
  std::memcpy(create.phys, "tapline-device", sizeof "tapline-device");
  create.rd_size = static_cast<uint16_t>(layout.descriptor.size());
  std::copy(layout.descriptor.begin(), layout.descriptor.end(), create.rd_data);
  // Not a USB device, though it has the device's USB identity.
  create.bus = BUS_VIRTUAL;
  create.vendor = kVendor;
  create.product = kProduct;
  create.version = kVersion;
  return event;
}

uhid_event uhid_input_event(const HidReport& report) {
  uhid_event event{};
  event.type = UHID_INPUT2;
  event.u.input2.size = static_cast<uint16_t>(report.size);
  std::copy_n(report.bytes.begin(), report.size, event.u.input2.data);
  return event;
}

UhidAnswer answer_uhid_event(HidFunction function, const uhid_event& event) {
  UhidAnswer answer;
  uint8_t leds = 0;
  switch (event.type) {
    case UHID_START:
      answer.started = true;
      break;
    case UHID_OUTPUT: {
      const uhid_output_req& output = event.u.output;
      const size_t size = std::min<size_t>(output.size, UHID_DATA_MAX);
      if (output.rtype == UHID_OUTPUT_REPORT &&
          leds_of_output_report(function, std::span(output.data, size), leds))
        answer.leds = leds;
      break;
    }
    case UHID_GET_REPORT: {
      uhid_event reply{};
      reply.type = UHID_GET_REPORT_REPLY;
      reply.u.get_report_reply.id = event.u.get_report.id;
      reply.u.get_report_reply.size = static_cast<uint16_t>(
          get_report_answer(function, event.u.get_report.rnum,
                            std::span<uint8_t>(&reply.u.get_report_reply.data[0], UHID_DATA_MAX)));
      answer.reply = reply;
      break;
    }
    case UHID_SET_REPORT: {
      // The gadget takes every SET_REPORT; the keyboard's output report is the lights.
      const uhid_set_report_req& set = event.u.set_report;
      const size_t size = std::min<size_t>(set.size, UHID_DATA_MAX);
      if (set.rtype == UHID_OUTPUT_REPORT &&
          leds_of_output_report(function, std::span(set.data, size), leds))
        answer.leds = leds;
      uhid_event reply{};
      reply.type = UHID_SET_REPORT_REPLY;
      reply.u.set_report_reply.id = set.id;
      answer.reply = reply;
      break;
    }
    default:  // UHID_OPEN, UHID_CLOSE, UHID_STOP: nothing to do
      break;
  }
  return answer;
}

UhidDevices::UhidDevices(uint8_t channel, std::FILE* log) : HidPresenter(channel, log) {
  for (size_t i = 0; i < nodes_.size(); ++i) {
    nodes_[i].owner = this;
    nodes_[i].function = static_cast<HidFunction>(i);
  }
}

UhidDevices::~UhidDevices() { destroy(); }

bool UhidDevices::create(int stop_fd, std::string& error) {
  created_ns_ = monotonic_ns();
  // One open of /dev/uhid is one device.
  for (Node& node : nodes_) {
    node.descriptor = ::open(kUhidNode, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (node.descriptor < 0) {
      error = open_failure(errno);
      return false;
    }
    const uhid_event event = uhid_create_event(node.function);
    if (::write(node.descriptor, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
      error = std::string("the kernel refused the ") + hid_layout(node.function).name +
              " device: " + std::strerror(errno);
      return false;
    }
  }
  // Reports written before the kernel has started a device are lost; nothing else comes
  // before that start.
  std::array<bool, kInputFunctionCount> started{};
  const int64_t deadline = monotonic_ns() + int64_t{kStartWithinMs} * 1000000;
  while (!std::all_of(started.begin(), started.end(), [](bool s) { return s; })) {
    const int64_t left_ms = (deadline - monotonic_ns()) / 1000000;
    std::array<pollfd, kInputFunctionCount + 1> watched{};
    for (size_t i = 0; i < nodes_.size(); ++i)
      watched[i] = {started[i] ? -1 : nodes_[i].descriptor, POLLIN, 0};
    watched.back() = {stop_fd, POLLIN, 0};
    const int ready = left_ms > 0 ? poll(watched.data(), watched.size(), int(left_ms)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      error = "the kernel did not start the uhid devices within 5 s";
      return false;
    }
    if (watched.back().revents != 0) {
      error = "stopped before the uhid devices were ready";
      return false;
    }
    for (size_t i = 0; i < nodes_.size(); ++i) {
      if (watched[i].revents == 0) continue;
      UhidAnswer answer;
      if (!take_event(nodes_[i], answer, error)) return false;
      started[i] = started[i] || answer.started;
    }
  }
  return true;
}

std::array<FrameInput*, kInputFunctionCount> UhidDevices::inputs() {
  return {&nodes_[0], &nodes_[1], &nodes_[2]};
}

bool UhidDevices::take_event(Node& node, UhidAnswer& answer, std::string& error) {
  uhid_event event{};
  if (::read(node.descriptor, &event, sizeof event) < 0) {
    if (errno == EAGAIN || errno == EINTR) return true;
    error = std::string("reading the ") + hid_layout(node.function).name +
            " device's events failed: " + std::strerror(errno);
    return false;
  }
  answer = answer_uhid_event(node.function, event);
  // The kernel waits for the reply (up to 5 s) while the computer's request stands.
  if (answer.reply && ::write(node.descriptor, &*answer.reply, sizeof *answer.reply) < 0) {
    error = std::string("answering the ") + hid_layout(node.function).name +
            " device's report request failed: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool UhidDevices::Node::read(Device& device, std::string& error) {
  UhidAnswer answer;
  if (!owner->take_event(*this, answer, error)) return false;
  if (answer.leds)
    device.set_leds(owner->channel_, *answer.leds,
                    static_cast<double>(monotonic_ns() - owner->created_ns_) / 1e6);
  return true;
}

void UhidDevices::write_report(const HidReport& report) {
  const int fd = nodes_[static_cast<size_t>(report.function)].descriptor;
  const uhid_event event = uhid_input_event(report);
  // The kernel takes an input report at once or not at all; it never blocks.
  if (fd >= 0 && ::write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event)) return;
  if (dropped_++ == 0)
    std::fprintf(log_, "tapline-device: the kernel did not take a report of the %s device: %s\n",
                 hid_layout(report.function).name, std::strerror(errno));
}

void UhidDevices::on_finish(const Summary& summary) {
  HidPresenter::on_finish(summary);
  if (dropped_ > 0)
    std::fprintf(log_, "tapline-device: %llu report%s the kernel did not take\n",
                 static_cast<unsigned long long>(dropped_), dropped_ == 1 ? "" : "s");
  destroy();
}

void UhidDevices::destroy() {
  for (Node& node : nodes_) {
    if (node.descriptor < 0) continue;
    uhid_event event{};
    event.type = UHID_DESTROY;
    // Closing would remove the device too; saying so first is the orderly way.
    (void)!::write(node.descriptor, &event, sizeof event);
    close(node.descriptor);
    node.descriptor = -1;
  }
}

}  // namespace tapline::device
