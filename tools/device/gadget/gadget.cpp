#include "gadget/gadget.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <variant>

#include "core/device.h"
#include "core/usage_names.h"

namespace tapline::device {
namespace {

constexpr const char* kFunctionNames[kGadgetFunctionCount] = {"keyboard", "pointer", "touch",
                                                              "command"};
constexpr const char* kGadgetRoot = "/sys/kernel/config/usb_gadget/";
// A host that reads takes a report within a few of its polling intervals (1 to 10 ms).
constexpr int kHostTakesReportMs = 100;

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

template <typename... Bytes>
GadgetReport report_of(GadgetFunction function, Bytes... bytes) {
  GadgetReport report{function, {static_cast<uint8_t>(bytes)...}, sizeof...(bytes)};
  return report;
}

// A usage that stands for a key typed with Shift becomes that key with the Shift bit.
GadgetReport keyboard_report(const KeyboardFields& keyboard) {
  GadgetReport report{GadgetFunction::Keyboard, {keyboard.modifiers, 0}, 8};
  for (size_t slot = 0; slot < keyboard.keys.size(); ++slot) {
    uint8_t value = keyboard.keys[slot];
    if (has_shift_flag(value)) {
      report.bytes[KeyboardFields::kModifiers] |= kModifierLeftShift;
      value &= static_cast<uint8_t>(~kShiftFlag);
    }
    report.bytes[KeyboardFields::kFirstKeySlot + slot] = value;
  }
  return report;
}

const char* device_command_name(uint8_t command) {
  switch (command) {
    case 0xF1:
      return "reboot";
    case 0xF3:
      return "firmware update";
    default:
      return "unknown";
  }
}

}  // namespace

bool find_gadget_nodes(const char* name, std::array<std::string, kGadgetFunctionCount>& nodes,
                       std::string& error) {
  const std::string gadget = std::string(kGadgetRoot) + name;
  for (size_t i = 0; i < kGadgetFunctionCount; ++i) {
    std::ifstream dev(gadget + "/functions/hid." + kFunctionNames[i] + "/dev");
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(dev >> major >> colon >> minor) || colon != ':') {
      error = "no USB gadget \"" + std::string(name) + "\" with a " + kFunctionNames[i] +
              " function in " + kGadgetRoot + " (scripts/gadget-setup up makes it)";
      return false;
    }
    nodes[i] = "/dev/hidg" + std::to_string(minor);
  }
  return true;
}

size_t GadgetReports::reports_for(const Frame& frame, std::array<GadgetReport, 2>& out) {
  const ReportFields& fields = frame.fields;
  if (const auto* keyboard = std::get_if<KeyboardFields>(&fields)) {
    out[0] = keyboard_report(*keyboard);
    return 1;
  }
  if (const auto* mouse = std::get_if<MouseFields>(&fields)) {
    out[0] = report_of(GadgetFunction::Pointer, kRelativeMouseReportId, mouse->buttons & 0x07,
                       mouse->dx, mouse->dy, mouse->wheel);
    return 1;
  }
  if (const auto* absolute = std::get_if<AbsoluteMouseFields>(&fields)) {
    absolute_x_ = absolute->x;
    absolute_y_ = absolute->y;
    out[0] =
        report_of(GadgetFunction::Pointer, kAbsoluteMouseReportId, absolute->buttons & 0x07,
                  absolute->x, absolute->x >> 8, absolute->y, absolute->y >> 8, absolute->wheel);
    return 1;
  }
  if (const auto* joystick = std::get_if<JoystickFields>(&fields)) {
    out[0] = report_of(GadgetFunction::Pointer, kJoystickReportId, joystick->buttons,
                       joystick->buttons >> 8);
    return 1;
  }
  if (const auto* consumer = std::get_if<ConsumerFields>(&fields)) {
    out[0] =
        report_of(GadgetFunction::Touch, kConsumerReportId, consumer->usage, consumer->usage >> 8);
    return 1;
  }
  if (const auto* system = std::get_if<SystemControlFields>(&fields)) {
    // The host sends no release after a power request; the key is let go at once.
    out[0] = report_of(GadgetFunction::Touch, kSystemControlReportId, system->request);
    out[1] = report_of(GadgetFunction::Touch, kSystemControlReportId, 0);
    return 2;
  }
  if (const auto* touch = std::get_if<TouchFields>(&fields)) {
    if (touch->contact >= kTouchContacts) return 0;
    Contact& contact = contacts_[touch->contact];
    contact.down = touch->state != 0;
    // A lift carries no position; the contact leaves where it was.
    if (contact.down) {
      contact.x = touch->x;
      contact.y = touch->y;
    }
    out[0] = touch_report();
    return 1;
  }
  return 0;  // device commands: nothing for the host to see
}

GadgetReport GadgetReports::touch_report() const {
  GadgetReport report{GadgetFunction::Touch, {kTouchReportId}, 0};
  size_t at = 1;
  for (size_t number = 0; number < kTouchContacts; ++number) {
    const Contact& contact = contacts_[number];
    report.bytes[at++] = contact.down ? 1 : 0;
    report.bytes[at++] = static_cast<uint8_t>(number);
    report.bytes[at++] = static_cast<uint8_t>(contact.x);
    report.bytes[at++] = static_cast<uint8_t>(contact.x >> 8);
    report.bytes[at++] = static_cast<uint8_t>(contact.y);
    report.bytes[at++] = static_cast<uint8_t>(contact.y >> 8);
  }
  // Both contacts are in every report, touching or not.
  report.bytes[at++] = kTouchContacts;
  report.size = at;
  return report;
}

size_t GadgetReports::releases(std::array<GadgetReport, 6>& out) const {
  out[0] = report_of(GadgetFunction::Keyboard, 0, 0, 0, 0, 0, 0, 0, 0);
  out[1] = report_of(GadgetFunction::Pointer, kRelativeMouseReportId, 0, 0, 0, 0);
  out[2] = report_of(GadgetFunction::Pointer, kAbsoluteMouseReportId, 0, absolute_x_,
                     absolute_x_ >> 8, absolute_y_, absolute_y_ >> 8, 0);
  out[3] = report_of(GadgetFunction::Pointer, kJoystickReportId, 0, 0);
  out[4] = report_of(GadgetFunction::Touch, kConsumerReportId, 0, 0);
  GadgetReports lifted = *this;
  for (Contact& contact : lifted.contacts_) contact.down = false;
  out[5] = lifted.touch_report();
  return out.size();
}

GadgetPresenter::GadgetPresenter(const std::array<std::string, kGadgetFunctionCount>& nodes,
                                 uint8_t channel, std::FILE* log)
    : nodes_(nodes), channel_(channel), log_(log) {
  fds_.fill(-1);
  for (size_t i = 0; i < kGadgetFunctionCount; ++i) {
    if (static_cast<GadgetFunction>(i) == GadgetFunction::Command) continue;
    fds_[i] = ::open(nodes[i].c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fds_[i] < 0 && open_error_.empty())
      open_error_ = "cannot open the " + std::string(kFunctionNames[i]) + " function " + nodes[i] +
                    ": " + std::strerror(errno);
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

void GadgetPresenter::on_frame(const ReceivedFrame& received) {
  const Frame& frame = received.frame;
  if (frame.channel != channel_) return;
  if (const auto* command = std::get_if<DeviceCommandFields>(&frame.fields)) {
    std::fprintf(log_, "tapline-device: device command %02x %02x (%s) logged, not carried out\n",
                 command->command, command->complement, device_command_name(command->command));
    return;
  }
  std::array<GadgetReport, 2> reports;
  const size_t count = reports_.reports_for(frame, reports);
  for (size_t i = 0; i < count; ++i) write_report(reports[i]);
}

void GadgetPresenter::on_finish(const Summary&) {
  std::array<GadgetReport, 6> releases;
  for (size_t i = 0, count = reports_.releases(releases); i < count; ++i) write_report(releases[i]);
  if (dropped_ > 0)
    std::fprintf(log_, "tapline-device: %llu report%s the host did not take\n",
                 static_cast<unsigned long long>(dropped_), dropped_ == 1 ? "" : "s");
}

void GadgetPresenter::write_report(const GadgetReport& report) {
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
                 kFunctionNames[static_cast<size_t>(report.function)]);
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
