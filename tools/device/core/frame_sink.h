// Where received frames go once decoded and applied to the device state: the printed
// text lines, the JSON lines, and any later sink (such as injection into a desktop).
// Sinks only read what they are given; decoding, state and counting happen before them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/device_state.h"
#include "core/frame_decoder.h"

namespace tapline::device {

struct ReceivedFrame {
  uint64_t sequence;  // 1-based number of the datagram among all received
  double time_ms;     // arrival, in milliseconds since the device started
  const Frame& frame;
  const StateChange& change;
  const TargetState& target;  // the frame's channel after the frame
};

struct RejectedDatagram {
  uint64_t sequence;
  double time_ms;
  FrameFault fault;
  const char* detail;   // one sentence: what was found, what was expected
  const uint8_t* data;  // the first `kept` bytes of the datagram
  size_t kept;
  size_t size;  // the datagram's true length
};

// The computer behind a channel set its keyboard's lock lights (its output report).
struct LedReport {
  double time_ms;
  uint8_t channel;
  uint8_t leds;  // kLedNumLock and the rest
};

struct Counters {
  uint64_t datagrams = 0;
  uint64_t frames = 0;
  uint64_t bad_frames = 0;
  // Datagrams the kernel dropped before the device could read them (its receive queue was
  // full), as the socket counts them. Datagrams sent = frames + bad frames + these.
  uint64_t kernel_drops = 0;
  std::array<uint64_t, kReportTypeCount> per_type{};  // by type code; 0 unused
  std::array<uint64_t, kFrameFaultCount> per_fault{};
};

struct Summary {
  const Counters& counters;
  const DeviceState& state;
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual void on_frame(const ReceivedFrame& received) = 0;
  virtual void on_rejected(const RejectedDatagram& rejected) = 0;
  virtual void on_leds(const LedReport&) {}
  // The device is stopping; the summary is final.
  virtual void on_finish(const Summary& summary) = 0;
  // How long the sink wants the device to wait for the next datagram before calling
  // on_idle (for work due after a silence); negative: no limit.
  virtual int idle_timeout_ms() const { return -1; }
  virtual void on_idle() {}
};

}  // namespace tapline::device
