// The UDP transport: one datagram per command frame to one configured destination.
#pragma once

#include <cstdint>

#include "tapline.h"

namespace tapline {

// The SendCallback that netcfg installs: sends the frame to the current destination,
// then pauses 20 ms measured from the moment the send returned.
void udp_frame_sink(const uint8_t* frame, int length);

inline constexpr int kUdpFramePauseMs = 20;

}  // namespace tapline
