#include "command/frame.h"

#include <array>
#include <cstring>

#include "command/held_inputs.h"
#include "command/host_message.h"

namespace {

tapline_send_cb send_callback = nullptr;
uint8_t channel = 1;

}  // namespace

namespace tapline {

uint8_t output_channel() { return channel; }

int send_report_on_channel(uint8_t on_channel, uint8_t report_type, const uint8_t* report,
                           size_t length) {
  const size_t n = length;
  if (n > kMaxReportLength) return 0;
  std::array<uint8_t, kFrameHeadSize + kMaxReportLength> frame;
  const uint8_t type_byte = make_type_byte(report_type, on_channel);
  frame[kFrameHeaderAt] = kFrameHeader;
  frame[kFrameLengthAt] = static_cast<uint8_t>(n);
  frame[kFrameChecksumAt] = frame_checksum(type_byte, report, n);
  frame[kFrameTypeAt] = type_byte;
  if (n > 0) std::memcpy(frame.data() + kFrameHeadSize, report, n);
  if (send_callback == nullptr) return 0;
  // Noted before the callback runs: a stop seen during the transport's pause after this
  // frame must already count it as held.
  note_sent_report(type_byte, report, n);
  send_callback(frame.data(), static_cast<int>(n + kFrameHeadSize));
  return 1;
}

}  // namespace tapline

extern "C" {

int makeHid(int report_type, const uint8_t* report, int length) {
  // A missing report or a length the frame cannot carry is refused whole: nothing sent.
  if (length < 0 || static_cast<size_t>(length) > tapline::kMaxReportLength) return 0;
  if (report == nullptr && length > 0) return 0;
  const tapline::system::CommandLock lock;
  return tapline::send_report_on_channel(channel, static_cast<uint8_t>(report_type), report,
                                         static_cast<size_t>(length));
}

tapline_send_cb set_send_cb(tapline_send_cb callback) {
  const tapline::system::CommandLock lock;
  send_callback = callback;
  return callback;
}

int set_channel(int new_channel) {
  const tapline::system::CommandLock lock;
  channel = static_cast<uint8_t>(new_channel);
  tapline::host_printf("set_channel：%s\n", new_channel == 1 ? "ble" : "usb");
  return channel;
}

}  // extern "C"
