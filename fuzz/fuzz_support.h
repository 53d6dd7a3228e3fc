// Shared by the fuzz targets: a clock that never sleeps and a SendCallback that checks
// every frame, so that a target runs the command layer at full speed and stops on the
// first malformed frame.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "command/frame.h"
#include "frame_decoder.h"
#include "platform/clock.h"

namespace tapline::fuzzing {

// Time moves only when something sleeps, by exactly the pause asked for.
class InstantClock final : public platform::Clock {
 public:
  uint32_t tick_ms() override { return now_ms_; }
  void sleep_ms(int64_t ms) override {
    if (ms > 0) now_ms_ += static_cast<uint32_t>(ms);
  }

 private:
  uint32_t now_ms_ = 0;
};

// Every frame must be one the software device accepts whole. Anything else is a finding.
inline void check_frame(const uint8_t* frame, int length) {
  if (!device::decode_datagram(frame, static_cast<size_t>(length & 0xFF)).ok) std::abort();
}

// Installs the instant clock and the checking SendCallback once per process.
inline void install_command_sink() {
  static InstantClock clock;
  static const bool installed = [] {
    platform::set_clock(&clock);
    set_send_cb(&check_frame);
    return true;
  }();
  (void)installed;
}

// The fuzz input as zero-terminated text (it ends at its first zero byte, as C text does).
inline std::string input_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace tapline::fuzzing
