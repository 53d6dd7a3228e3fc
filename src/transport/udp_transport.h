// The UDP transport: one datagram per command frame to one configured destination.
#pragma once

#include <cstdint>

#include "tapline.h"
#include "transport/transport_result.h"

namespace tapline {

// The SendCallback that netcfg installs: sends the frame to the current destination,
// then pauses 20 ms measured from the moment the send returned.
void udp_frame_sink(const uint8_t* frame, int length);

inline constexpr int kUdpFramePauseMs = 20;

// Sets the destination (an empty address or a port <= 0 keeps the current value) and
// prints it. The address is dotted IPv4 text or an IPv4 host name, looked up here once.
// Failed, with the destination unchanged, when the address is too long or names no host.
TransportResult set_udp_destination(const char* address, int port);
// Makes a new socket in place of the old one and installs udp_frame_sink: failed, with
// the SendCallback unchanged, when no socket can be made.
TransportResult open_udp_socket();
// Sends one datagram to address:port (u16), the address as for set_udp_destination and
// looked up at each call: done or failed.
TransportResult udp_send_datagram(const char* address, int port, const uint8_t* data, int length);

}  // namespace tapline
