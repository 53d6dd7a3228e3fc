#include "command_capture.h"

#include <cstdio>

#include "core/frame_decoder.h"

namespace tapline::testing {
namespace {

CommandCapture* active = nullptr;

std::string hex_bytes(const uint8_t* bytes, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, " %02X", bytes[i]);
    text += byte;
  }
  return text;
}

}  // namespace

CommandCapture::CommandCapture() {
  active = this;
  set_send_cb(&CommandCapture::on_frame);
  clock.on_sleep([this](int64_t ms) {
    events_.push_back(sleep_line(ms));
    slept_ms_ += ms;
  });
}

CommandCapture::~CommandCapture() {
  set_send_cb(nullptr);
  active = nullptr;
}

std::vector<std::string> CommandCapture::take() {
  std::vector<std::string> taken;
  taken.swap(events_);
  frames_.clear();
  slept_ms_ = 0;
  return taken;
}

void CommandCapture::on_frame(const uint8_t* frame, int length) {
  if (active != nullptr) active->record_frame(frame, length);
}

void CommandCapture::record_frame(const uint8_t* frame, int length) {
  const size_t size = static_cast<size_t>(length & 0xFF);
  frames_.emplace_back(frame, frame + size);
  const device::DecodeResult decoded = device::decode_datagram(frame, size);
  if (!decoded.ok || decoded.frame.channel != (output_channel() & 0x03)) {
    events_.push_back("bad frame" + hex_bytes(frame, size));
    return;
  }
  events_.push_back(
      report_line(decoded.frame.type, decoded.frame.report.data(), decoded.frame.report_length));
}

std::string report_line(ReportType type, std::initializer_list<uint8_t> report) {
  return report_line(type, report.begin(), report.size());
}

std::string report_line(ReportType type, const uint8_t* report, size_t length) {
  return report_type_name(static_cast<uint8_t>(type)) + hex_bytes(report, length);
}

std::string keyboard_line(uint8_t modifiers, std::initializer_list<uint8_t> usages) {
  uint8_t report[8] = {modifiers};
  size_t slot = 2;
  for (uint8_t usage : usages)
    if (slot < sizeof report) report[slot++] = usage;
  return report_line(ReportType::Keyboard, report, sizeof report);
}

std::string mouse_line(int buttons, int wheel, int x, int y) {
  const uint8_t report[7] = {uint8_t(buttons), uint8_t(wheel), uint8_t(x), uint8_t(y)};
  return report_line(ReportType::Mouse, report, sizeof report);
}

std::string absolute_line(int x, int y, int buttons, int wheel) {
  const uint8_t report[7] = {uint8_t(buttons), uint8_t(wheel), uint8_t(x),
                             uint8_t(x >> 8),  uint8_t(y),     uint8_t(y >> 8)};
  return report_line(ReportType::AbsoluteMouse, report, sizeof report);
}

std::string touch_line(int state, int contact, int x, int y) {
  const uint8_t report[6] = {uint8_t(state),  uint8_t(contact), uint8_t(x),
                             uint8_t(x >> 8), uint8_t(y),       uint8_t(y >> 8)};
  return report_line(ReportType::Touch, report, sizeof report);
}

std::string usage_line(ReportType type, int usage) {
  const uint8_t report[7] = {uint8_t(usage), uint8_t(usage >> 8)};
  return report_line(type, report, sizeof report);
}

std::string sleep_line(int64_t ms) { return "sleep " + std::to_string(ms); }

FixedScreen::FixedScreen(int width, int height) : size_{width, height} {
  platform::set_screen(this);
}

FixedScreen::~FixedScreen() { platform::set_screen(nullptr); }

}  // namespace tapline::testing
