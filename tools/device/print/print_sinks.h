// The two printing sinks: one readable line per datagram, or one JSON object per line.
#pragma once

#include <cstdio>

#include "core/frame_sink.h"
#include "print/line_buffer.h"

namespace tapline::device {

// One line per datagram: arrival time, channel, type, report bytes, decoded fields and,
// in parentheses, what the frame changed:
//   "20.114 ms  ch1 Keyboard      02 00 04 9e 00 00 00 00  keys: LShift a !  (press LShift a !)"
// A malformed datagram gives its reason and its first bytes:
//   "40.230 ms  bad frame (short): 2 bytes, a frame has at least its 4-byte head; datagram 2c 08"
// The lock lights the computer sets:
//   "52.006 ms  ch1 LEDs          03  lit: NumLock CapsLock"
class TextSink final : public FrameSink {
 public:
  explicit TextSink(std::FILE* out) : out_(out) {}
  void on_frame(const ReceivedFrame& received) override;
  void on_rejected(const RejectedDatagram& rejected) override;
  void on_leds(const LedReport& report) override;
  void on_finish(const Summary& summary) override;

 private:
  std::FILE* out_;
  LineBuffer line_;
};

// One object per line: {"seq":1,"time_ms":0.000,"channel":1,"type":"Keyboard",
// "type_byte":"41","report":"0200040000000000", the decoded fields, "pressed":[...],
// "released":[...]}; malformed datagrams as {"seq":..,"time_ms":..,"error":"bad checksum",
// "detail":"...","size":12,"datagram":"2c08..."}; the lock lights the computer sets as
// {"time_ms":..,"channel":1,"leds":"02","lit":["CapsLock"]}; at the end {"summary":{...}}.
class JsonSink final : public FrameSink {
 public:
  explicit JsonSink(std::FILE* out) : out_(out) {}
  void on_frame(const ReceivedFrame& received) override;
  void on_rejected(const RejectedDatagram& rejected) override;
  void on_leds(const LedReport& report) override;
  void on_finish(const Summary& summary) override;

 private:
  std::FILE* out_;
  LineBuffer line_;
};

}  // namespace tapline::device
