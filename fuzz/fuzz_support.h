// Shared by the fuzz targets: the test clock and a SendCallback that checks every frame
// with the software device's decoder, so that a target runs the command layer at full
// speed and stops on the first malformed frame.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "command/frame.h"
#include "core/frame_decoder.h"
#include "test_clock.h"

namespace tapline::fuzzing {

// Every frame must be one the software device accepts; anything else is a finding.
inline void check_frame(const uint8_t* frame, int length) {
  if (!device::decode_datagram(frame, static_cast<size_t>(length & 0xFF)).ok) std::abort();
}

// Installs the test clock (which never sleeps) and the checking SendCallback once per
// process.
inline void install_command_sink() {
  static testing::TestClock clock(false);
  static const bool installed = [] {
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
