// The software device without its network side: takes datagrams, decodes them, keeps
// the device state and the counters, and hands each result to every sink in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/device_state.h"
#include "core/frame_sink.h"

namespace tapline::device {

class Device {
 public:
  // Sinks are not owned and must outlive the device's use of them.
  void add_sink(FrameSink& sink) { sinks_.push_back(&sink); }

  // One datagram as received: `data` holds min(size, kept) bytes, where kept is at least
  // kLongestFrame or the whole datagram (see decode_datagram).
  void receive(const uint8_t* data, size_t kept, size_t size, double time_ms);
  // The computer behind `channel` set its keyboard's lock lights.
  void set_leds(uint8_t channel, uint8_t leds, double time_ms);
  // The socket's count of datagrams dropped before they could be read (a running total).
  void set_kernel_drops(uint64_t count) { counters_.kernel_drops = count; }
  // Hands the final summary to every sink.
  void finish();
  // The shortest wait any sink wants before on_idle; negative: no limit.
  int idle_timeout_ms() const;
  // No datagram came within idle_timeout_ms().
  void idle();

  const Counters& counters() const { return counters_; }
  const DeviceState& state() const { return state_; }

 private:
  DeviceState state_;
  Counters counters_;
  std::vector<FrameSink*> sinks_;
};

}  // namespace tapline::device
