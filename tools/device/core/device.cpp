#include "core/device.h"

namespace tapline::device {

void Device::receive(const uint8_t* data, size_t kept, size_t size, double time_ms) {
  const uint64_t sequence = ++counters_.datagrams;
  const DecodeResult result = decode_datagram(data, size);
  if (!result.ok) {
    ++counters_.bad_frames;
    ++counters_.per_fault[static_cast<size_t>(result.fault)];
    const RejectedDatagram rejected{
        sequence, time_ms, result.fault, result.detail.data(), data, kept < size ? kept : size,
        size};
    for (FrameSink* sink : sinks_) sink->on_rejected(rejected);
    return;
  }
  ++counters_.frames;
  ++counters_.per_type[static_cast<size_t>(result.frame.type)];
  const StateChange change = state_.apply(result.frame);
  const ReceivedFrame received{sequence, time_ms, result.frame, change,
                               state_.target(result.frame.channel)};
  for (FrameSink* sink : sinks_) sink->on_frame(received);
}

void Device::set_leds(uint8_t channel, uint8_t leds, double time_ms) {
  state_.set_leds(channel, leds);
  const LedReport report{time_ms, channel, leds};
  for (FrameSink* sink : sinks_) sink->on_leds(report);
}

int Device::idle_timeout_ms() const {
  int timeout = -1;
  for (const FrameSink* sink : sinks_) {
    const int wanted = sink->idle_timeout_ms();
    if (wanted >= 0 && (timeout < 0 || wanted < timeout)) timeout = wanted;
  }
  return timeout;
}

void Device::idle() {
  for (FrameSink* sink : sinks_) sink->on_idle();
}

void Device::finish() {
  const Summary summary{counters_, state_};
  for (FrameSink* sink : sinks_) sink->on_finish(summary);
}

}  // namespace tapline::device
