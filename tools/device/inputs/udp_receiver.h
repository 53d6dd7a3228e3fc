// The device's network side: one UDP socket, datagrams with their kernel arrival times.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

#include "core/device.h"
#include "inputs/frame_input.h"
#include "inputs/sender_check.h"

namespace tapline::device {

// Parses "ADDR:PORT" (an IPv4 address or host name, a port 0..65535). On failure returns
// false and says why in `error`.
bool parse_listen_address(const char* text, sockaddr_in& address, std::string& error);

// "127.0.0.1:9000".
std::string format_address(const sockaddr_in& address);

class UdpReceiver {
 public:
  UdpReceiver() = default;
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;
  ~UdpReceiver();

  // Creates and binds the socket. On failure returns false with the reason in `error`.
  bool open(const sockaddr_in& address, std::string& error);
  // The address actually bound (the chosen port when 0 was asked for).
  const sockaddr_in& bound_address() const { return bound_; }
  // Datagrams from senders that `check` refuses are dropped unread (not owned; it must
  // outlive run()).
  void admit_only(SenderCheck& check) { check_ = &check; }

  // Hands every datagram to `device` until `stop_fd` becomes readable (a signalfd or the
  // read end of a pipe). Arrival times are the kernel's receive timestamps where the
  // system gives them, measured from open() and immune to steps of the wall clock. Returns false,
  // with the reason in `error`, when the socket fails for good. When no datagram comes
  // within the device's idle timeout, calls its idle(). What the sources in `also` have
  // (frames, the computer's lock lights) is handed over as it comes. Runs without a
  // socket too when open() was not called.
  bool run(Device& device, int stop_fd, std::string& error, std::span<FrameInput* const> also = {});

 private:
  // A kernel timestamp (wall clock) as milliseconds since open() on the monotonic clock.
  double milliseconds_since_open(const timespec& wall_clock_arrival) const;
  // Reads every datagram queued on the socket; false on a lasting socket error.
  bool drain(Device& device, std::string& error);
  // Takes the socket's running count of dropped datagrams (32 bits, widened here).
  void note_drops(Device& device, uint32_t count);

  int socket_ = -1;
  SenderCheck* check_ = nullptr;
  sockaddr_in bound_{};
  int64_t opened_ns_ = 0;  // CLOCK_MONOTONIC
  uint32_t last_drops_ = 0;
  uint64_t drops_ = 0;
};

}  // namespace tapline::device
