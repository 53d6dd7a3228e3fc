#include "inputs/udp_receiver.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tapline::device {
namespace {

// Room for the longest frame; recvmsg with MSG_TRUNC still gives the true length of a
// longer datagram, which is then rejected by that length.
constexpr size_t kReceiveCapacity = kLongestFrame;
// A deep receive queue rides out bursts from senders that do not pause; the kernel cuts
// the request to what the system allows (net.core.rmem_max).
constexpr int kReceiveQueueBytes = 8 << 20;

int64_t nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool parse_listen_address(const char* text, sockaddr_in& address, std::string& error) {
  const std::string listen_text = text != nullptr ? text : "";
  const size_t colon = listen_text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == listen_text.size()) {
    error = "\"" + listen_text + "\" is not ADDR:PORT";
    return false;
  }
  const std::string host = listen_text.substr(0, colon);
  const std::string port_text = listen_text.substr(colon + 1);
  char* end = nullptr;
  errno = 0;
  const long port = std::strtol(port_text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || port < 0 || port > 65535 ||
      port_text.find_first_not_of("0123456789") != std::string::npos) {
    error = "port \"" + port_text + "\" is not a number from 0 to 65535";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr) {
    error = "address \"" + host + "\": " + gai_strerror(status);
    return false;
  }
  address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

std::string format_address(const sockaddr_in& address) {
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

UdpReceiver::~UdpReceiver() {
  if (socket_ >= 0) close(socket_);
}

bool UdpReceiver::open(const sockaddr_in& address, std::string& error) {
  socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
  if (socket_ < 0) {
    error = errno_text("cannot create a UDP socket");
    return false;
  }
  // Without kernel timestamps the arrival time is read after the datagram is dequeued.
  const int on = 1;
  setsockopt(socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // Every datagram then carries the socket's count of datagrams dropped so far, so that
  // the summary can account for each one sent.
  setsockopt(socket_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &kReceiveQueueBytes, sizeof kReceiveQueueBytes);
  if (bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno_text(("cannot listen on " + format_address(address)).c_str());
    return false;
  }
  socklen_t length = sizeof bound_;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&bound_), &length);
  opened_ns_ = nanoseconds(CLOCK_MONOTONIC);
  return true;
}

double UdpReceiver::milliseconds_since_open(const timespec& wall_clock_arrival) const {
  // The kernel stamps datagrams with the wall clock, which can be stepped while the
  // device runs; moved onto the monotonic clock at once, an arrival time can only be off
  // by a step that falls between the stamp and this moment.
  const int64_t wall_minus_monotonic = nanoseconds(CLOCK_REALTIME) - nanoseconds(CLOCK_MONOTONIC);
  const int64_t arrival = int64_t{wall_clock_arrival.tv_sec} * 1000000000 +
                          wall_clock_arrival.tv_nsec - wall_minus_monotonic;
  return static_cast<double>(arrival - opened_ns_) / 1e6;
}

bool UdpReceiver::drain(Device& device, std::string& error) {
  std::array<uint8_t, kReceiveCapacity> buffer;
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))>
      control;
  for (;;) {
    iovec vector{buffer.data(), buffer.size()};
    sockaddr_in sender{};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t size = recvmsg(socket_, &message, MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) {
      if (errno == EINTR) continue;
      // A short memory shortage passes; the queued datagrams are read at the next wake-up.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOMEM || errno == ENOBUFS)
        return true;
      error = errno_text("receiving failed");
      return false;
    }
    timespec arrival{};
    bool stamped = false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
        std::memcpy(&arrival, CMSG_DATA(header), sizeof arrival);
        stamped = true;
      } else if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL) {
        uint32_t dropped = 0;
        std::memcpy(&dropped, CMSG_DATA(header), sizeof dropped);
        note_drops(device, dropped);
      }
    }
    if (!stamped) clock_gettime(CLOCK_REALTIME, &arrival);
    const double arrival_ms = milliseconds_since_open(arrival);
    if (check_ != nullptr &&
        !check_->admits(sender, arrival_ms,
                        static_cast<double>(nanoseconds(CLOCK_MONOTONIC) - opened_ns_) / 1e6))
      continue;
    const size_t true_size = static_cast<size_t>(size);
    const size_t kept = true_size < buffer.size() ? true_size : buffer.size();
    device.receive(buffer.data(), kept, true_size, arrival_ms);
  }
}

void UdpReceiver::note_drops(Device& device, uint32_t count) {
  drops_ += static_cast<uint32_t>(count - last_drops_);  // unsigned: the wrap is harmless
  last_drops_ = count;
  device.set_kernel_drops(drops_);
}

bool UdpReceiver::run(Device& device, int stop_fd, std::string& error,
                      std::span<FrameInput* const> also) {
  // poll passes over negative descriptors: a missing socket or source is never ready.
  std::vector<pollfd> watched{{socket_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (FrameInput* input : also) watched.push_back({input->fd(), POLLIN, 0});
  for (;;) {
    const int ready = poll(watched.data(), watched.size(), device.idle_timeout_ms());
    if (ready < 0) {
      if (errno == EINTR) continue;
      error = errno_text("waiting for datagrams failed");
      return false;
    }
    if (ready == 0) {
      device.idle();
      continue;
    }
    // Datagrams that arrived before the stop request are still counted.
    if (watched[0].revents != 0 && !drain(device, error)) return false;
    for (size_t i = 0; i < also.size(); ++i)
      if (watched[2 + i].revents != 0 && !also[i]->read(device, error)) return false;
    if (watched[1].revents != 0) {
      if (socket_ < 0) return true;
      // Whatever was queued before the stop is read (and counted) first.
      if (!drain(device, error)) return false;
      // A datagram carries the count as it was when that datagram was queued; drops after
      // the last one read are only in the socket's own count.
      std::array<uint32_t, SK_MEMINFO_VARS> memory{};
      socklen_t length = sizeof memory;
      if (getsockopt(socket_, SOL_SOCKET, SO_MEMINFO, memory.data(), &length) == 0 &&
          length > SK_MEMINFO_DROPS * sizeof(uint32_t))
        note_drops(device, memory[SK_MEMINFO_DROPS]);
      return true;
    }
  }
}

}  // namespace tapline::device
