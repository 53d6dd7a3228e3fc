#include "transport/udp_transport.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "system/clock.h"
#include "system/command_lock.h"
#include "system/console.h"

namespace tapline {
namespace {

constexpr size_t kAddressCapacity = 32;  // 31 characters and the terminating zero

char destination_address[kAddressCapacity] = "255.255.255.255";
// The destination address as resolved when it was set: a host name is looked up once, not
// for every frame.
in_addr destination_ip{INADDR_BROADCAST};
int destination_port = 9000;
// No socket until the first netcfg: a direct udp_send before it must never reach fd 0.
int udp_socket = -1;
bool socket_creation_failed = false;

// Dotted IPv4 text as it is, anything else as an IPv4 host name. False when the text names
// no IPv4 address at all: such a text must never fall back to the broadcast address, which
// would send every frame (typed passwords included) to the whole network.
bool resolve_ipv4(const char* text, in_addr& resolved) {
  if (inet_aton(text, &resolved) != 0) return true;
  addrinfo wanted{};
  wanted.ai_family = AF_INET;
  wanted.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(text, nullptr, &wanted, &found) != 0 || found == nullptr) return false;
  resolved = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

TransportResult send_datagram(in_addr address, int port, const uint8_t* data, int length) {
  if (socket_creation_failed) return TransportResult::failed();
  if (udp_socket < 0) {
    system::console_printf(" send error!, error code is %d\n", ENOTSOCK);
    return TransportResult::failed();
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(static_cast<uint16_t>(port));
  destination.sin_addr = address;
  const int broadcast = 1;
  setsockopt(udp_socket, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast);
  const ssize_t sent = sendto(udp_socket, data, static_cast<size_t>(length < 0 ? 0 : length), 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent < 0) {
    system::console_printf(" send error!, error code is %d\n", errno);
    return TransportResult::failed();
  }
  return TransportResult::done(static_cast<int>(sent));
}

}  // namespace

void udp_frame_sink(const uint8_t* frame, int length) {
  send_datagram(destination_ip, destination_port, frame, length & 0xFF);
  system::sleep_ms(kUdpFramePauseMs);
}

TransportResult set_udp_destination(const char* address, int port) {
  if (address != nullptr && address[0] != '\0') {
    if (std::strlen(address) >= kAddressCapacity) {
      system::console_diagnostic(
          "the UDP address \"%s\" is longer than %zu characters; keeping %s\n", address,
          kAddressCapacity - 1, destination_address);
      return TransportResult::failed();
    }
    in_addr resolved{};
    if (!resolve_ipv4(address, resolved)) {
      system::console_diagnostic(
          "the UDP address \"%s\" is neither an IPv4 address nor a host name with one; "
          "keeping %s\n",
          address, destination_address);
      return TransportResult::failed();
    }
    std::strcpy(destination_address, address);
    destination_ip = resolved;
  }
  if (port > 0) destination_port = port;
  system::console_printf("network:%s:%d\n", destination_address, destination_port);
  return TransportResult::done();
}

TransportResult open_udp_socket() {
  const int fresh = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  const int creation_error = errno;  // before close() can change it
  if (udp_socket >= 0) close(udp_socket);
  udp_socket = fresh;
  socket_creation_failed = fresh < 0;
  if (socket_creation_failed) {
    system::console_printf(" error! error code is %d\n", creation_error);
    return TransportResult::failed();
  }
  set_send_cb(udp_frame_sink);
  return TransportResult::done();
}

TransportResult udp_send_datagram(const char* address, int port, const uint8_t* data, int length) {
  in_addr resolved{};
  if (!resolve_ipv4(address != nullptr ? address : "", resolved)) {
    system::console_diagnostic(
        "the UDP address \"%s\" is neither an IPv4 address nor a host name with one; "
        "nothing sent\n",
        address != nullptr ? address : "");
    return TransportResult::failed();
  }
  return send_datagram(resolved, port, data, length);
}

}  // namespace tapline

// The exported interface: the transport's results as the fixed codes of tapline.h.
using namespace tapline;

extern "C" int netcfg(const char* address, int port) {
  const system::CommandLock lock;
  if (!set_udp_destination(address, port).is_done()) return -1;
  // Non-zero whether or not a socket could be made: the printed line tells which, and a
  // caller that goes on finds udp_send failing.
  open_udp_socket();
  return 1;
}

extern "C" int udp_send(const char* address, int port, const uint8_t* data, int length) {
  const system::CommandLock lock;
  return udp_send_datagram(address, port, data, length).is_done() ? 0 : -1;
}
