// Who may drive the device. The wire protocol carries no authentication (peers rely on
// that), so the device itself decides which senders it takes frames from: on a network,
// only the addresses named with --allow; on this machine, only sockets of the device's
// own user unless other users are allowed too.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tapline::device {

// An IPv4 network: ADDR[/PREFIX], the whole address without a prefix.
struct AddressRange {
  in_addr_t network = 0;  // network byte order, the host bits cleared
  in_addr_t mask = 0;     // network byte order

  bool contains(in_addr address) const { return (address.s_addr & mask) == network; }
};

// "192.168.7.0/24", "10.0.0.5". False with the reason in `error` for anything else.
bool parse_address_range(const char* text, AddressRange& range, std::string& error);

// 127.0.0.0/8: datagrams from there come from this machine.
bool is_loopback(in_addr address);

// The users owning an open UDP socket that `sender` (address and port) can be sent from,
// as /proc/net/udp and /proc/net/udp6 list them (`proc_net` is that folder): one entry
// per socket, none when no such socket is open (it has been closed since, say).
std::vector<uid_t> udp_socket_owners(const sockaddr_in& sender, const std::string& proc_net);

class SenderCheck {
 public:
  // `allowed` empty: any address (the device listens on loopback only). Loopback
  // senders owned by a user other than `own_user` are refused unless
  // `other_users_allowed`.
  SenderCheck(std::vector<AddressRange> allowed, bool other_users_allowed, uid_t own_user,
              std::FILE* messages, std::string proc_net = "/proc/net");

  // Whether a datagram from `sender` that arrived at `arrival_ms` may drive the device;
  // `now_ms` is the time of asking, on the same clock. A refusal is counted, and the
  // first one is said on `messages`.
  bool admits(const sockaddr_in& sender, double arrival_ms, double now_ms);
  // Says how many datagrams were refused, when any were.
  void say_total() const;
  uint64_t refused() const { return refused_; }

 private:
  // A local sender seen to be a socket of the device's own user.
  struct Confirmed {
    in_addr_t address = 0;
    in_port_t port = 0;
    double at_ms = -1;  // when it was last seen open; -1: an empty slot
  };
  bool own_local_sender(const sockaddr_in& sender, double arrival_ms, double now_ms);
  void refuse(const sockaddr_in& sender, const char* why);

  std::vector<AddressRange> allowed_;
  bool other_users_allowed_;
  uid_t own_user_;
  std::FILE* messages_;
  std::string proc_net_;
  // Bounded: the senders of the moment; the one seen longest ago makes room.
  std::array<Confirmed, 32> confirmed_{};
  uint64_t refused_ = 0;
};

}  // namespace tapline::device
