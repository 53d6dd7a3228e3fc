#include "command_capture.h"

#include <cstdio>

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
  platform::set_clock(this);
}

CommandCapture::~CommandCapture() {
  set_send_cb(nullptr);
  platform::set_clock(nullptr);
  active = nullptr;
}

std::vector<std::string> CommandCapture::take() {
  std::vector<std::string> taken;
  taken.swap(events_);
  frames_.clear();
  slept_ms_ = 0;
  return taken;
}

void CommandCapture::sleep_ms(int64_t ms) {
  events_.push_back(sleep_line(ms));
  slept_ms_ += ms;
  now_ms_ += static_cast<uint32_t>(ms);
}

void CommandCapture::on_frame(const uint8_t* frame, int length) {
  if (active != nullptr) active->record_frame(frame, length);
}

void CommandCapture::record_frame(const uint8_t* frame, int length) {
  const size_t size = static_cast<size_t>(length & 0xFF);
  frames_.emplace_back(frame, frame + size);
  bool sound = size >= kFrameHeadSize && frame[0] == kFrameHeader &&
               frame[1] + kFrameHeadSize == size && (frame[3] & 0x20) == 0 &&
               (frame[3] >> 6) == (output_channel() & 0x03);
  if (sound) {
    uint8_t checksum = frame[3];
    for (size_t i = kFrameHeadSize; i < size; ++i)
      checksum = static_cast<uint8_t>(checksum + frame[i]);
    sound = checksum == frame[2];
  }
  const char* type = sound ? report_type_name(frame[3] & 0x1F) : nullptr;
  if (type == nullptr || report_length(frame[3] & 0x1F) != size - kFrameHeadSize) {
    events_.push_back("bad frame" + hex_bytes(frame, size));
    return;
  }
  events_.push_back(type + hex_bytes(frame + kFrameHeadSize, size - kFrameHeadSize));
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

std::string sleep_line(int64_t ms) { return "sleep " + std::to_string(ms); }

FixedScreen::FixedScreen(int width, int height) : size_{width, height} {
  platform::set_screen(this);
}

FixedScreen::~FixedScreen() { platform::set_screen(nullptr); }

}  // namespace tapline::testing
