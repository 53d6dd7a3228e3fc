#include "gadget/gadget.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include "core/device.h"

namespace tapline::device {
namespace {

constexpr const char* kGadgetRoot = "/sys/kernel/config/usb_gadget/";
// A host that reads takes a report within a few of its polling intervals (1 to 10 ms).
constexpr int kHostTakesReportMs = 100;

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

bool find_gadget_nodes(const char* name, std::array<std::string, kHidFunctionCount>& nodes,
                       std::string& error) {
  const std::string gadget = std::string(kGadgetRoot) + name;
  for (size_t i = 0; i < kHidFunctionCount; ++i) {
    std::ifstream dev(gadget + "/functions/hid." + hid_layout(static_cast<HidFunction>(i)).name +
                      "/dev");
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(dev >> major >> colon >> minor) || colon != ':') {
      error = "no USB gadget \"" + std::string(name) + "\" with a " +
              hid_layout(static_cast<HidFunction>(i)).name + " function in " + kGadgetRoot +
              " (scripts/gadget-setup up makes it)";
      return false;
    }
    nodes[i] = "/dev/hidg" + std::to_string(minor);
  }
  return true;
}

GadgetPresenter::GadgetPresenter(const std::array<std::string, kHidFunctionCount>& nodes,
                                 uint8_t channel, std::FILE* log)
    : HidPresenter(channel, log), nodes_(nodes), opened_ns_(monotonic_ns()) {
  fds_.fill(-1);
  for (size_t i = 0; i < kHidFunctionCount; ++i) {
    const auto function = static_cast<HidFunction>(i);
    if (function == HidFunction::Command) continue;
    // The keyboard is read too: the host's lock lights come as its output report.
    fds_[i] = ::open(nodes[i].c_str(), (function == HidFunction::Keyboard ? O_RDWR : O_WRONLY) |
                                           O_NONBLOCK | O_CLOEXEC);
    if (fds_[i] < 0 && open_error_.empty())
      open_error_ = "cannot open the " + std::string(hid_layout(function).name) + " function " +
                    nodes[i] + ": " + std::strerror(errno);
  }
}

GadgetPresenter::~GadgetPresenter() {
  for (const int fd : fds_)
    if (fd >= 0) close(fd);
}

bool GadgetPresenter::ready(std::string& error) const {
  error = open_error_;
  return open_error_.empty();
}

void GadgetPresenter::on_finish(const Summary& summary) {
  HidPresenter::on_finish(summary);
  if (dropped_ > 0)
    std::fprintf(log_, "tapline-device: %llu report%s the host did not take\n",
                 static_cast<unsigned long long>(dropped_), dropped_ == 1 ? "" : "s");
}

void GadgetPresenter::write_report(const HidReport& report) {
  const int fd = fds_[static_cast<size_t>(report.function)];
  pollfd writable{fd, POLLOUT, 0};
  // The function takes one report at a time; the next waits until the host has read it.
  const bool taken =
      fd >= 0 && poll(&writable, 1, kHostTakesReportMs) == 1 && (writable.revents & POLLOUT) != 0 &&
      write(fd, report.bytes.data(), report.size) == static_cast<ssize_t>(report.size);
  if (taken) {
    if (dropped_ > 0)
      std::fprintf(log_, "tapline-device: the host takes reports again; %llu dropped\n",
                   static_cast<unsigned long long>(dropped_));
    dropped_ = 0;
    return;
  }
  if (dropped_++ == 0)
    std::fprintf(log_,
                 "tapline-device: the host does not read the gadget's %s function; reports "
                 "are dropped\n",
                 hid_layout(report.function).name);
}

bool GadgetPresenter::read(Device& device, std::string& error) {
  std::array<uint8_t, kCommandReportSize> report;
  const ssize_t got = ::read(fd(), report.data(), report.size());
  if (got < 0) {
    if (errno == EAGAIN || errno == EINTR) return true;
    error = "reading the keyboard function " + nodes_[0] + " failed: " + std::strerror(errno);
    return false;
  }
  uint8_t leds = 0;
  if (leds_of_output_report(HidFunction::Keyboard, std::span(report.data(), size_t(got)), leds))
    device.set_leds(channel_, leds, static_cast<double>(monotonic_ns() - opened_ns_) / 1e6);
  return true;
}

GadgetCommandInput::~GadgetCommandInput() {
  if (fd_ >= 0) close(fd_);
}

bool GadgetCommandInput::open(const std::string& node, std::string& error) {
  fd_ = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error = "cannot open the command function " + node + ": " + std::strerror(errno);
    return false;
  }
  node_ = node;
  opened_ns_ = monotonic_ns();
  return true;
}

bool GadgetCommandInput::read(Device& device, std::string& error) {
  std::array<uint8_t, kCommandReportSize> report;
  const ssize_t got = ::read(fd_, report.data(), report.size());
  if (got < 0) {
    if (errno == EAGAIN || errno == EINTR) return true;
    error = "reading the command function " + node_ + " failed: " + std::strerror(errno);
    return false;
  }
  // A report is padded to 64 bytes; the frame inside says its own length.
  size_t size = static_cast<size_t>(got);
  if (size > kFrameLengthAt && report[kFrameHeaderAt] == kFrameHeader)
    size = std::min(size, kFrameHeadSize + size_t{report[kFrameLengthAt]});
  device.receive(report.data(), size, size, static_cast<double>(monotonic_ns() - opened_ns_) / 1e6);
  return true;
}

}  // namespace tapline::device
