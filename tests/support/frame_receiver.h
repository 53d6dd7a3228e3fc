// The device's end of the UDP transport: a socket on 127.0.0.1 with a port the kernel
// picks, for tests that read the datagrams the command layer sends.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace tapline::testing {

class FrameReceiver {
 public:
  FrameReceiver() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~FrameReceiver() { close(fd_); }
  FrameReceiver(const FrameReceiver&) = delete;
  FrameReceiver& operator=(const FrameReceiver&) = delete;

  int port() const { return port_; }

  // The next datagram, or an empty one when none came within `timeout_ms`.
  std::vector<uint8_t> next(int timeout_ms = 2000) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1) return {};
    std::vector<uint8_t> datagram(512);
    const ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
    datagram.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return datagram;
  }

 private:
  int fd_;
  int port_ = 0;
};

}  // namespace tapline::testing
