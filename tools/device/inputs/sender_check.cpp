#include "inputs/sender_check.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "inputs/udp_receiver.h"

namespace tapline::device {
namespace {

// A sender's last datagrams often arrive just before it exits and its socket closes;
// they are taken when its socket was seen open and its own at most this long before they
// arrived. Short, so that another user cannot take over the port meanwhile.
constexpr double kClosedSenderGraceMs = 250;

// One row of /proc/net/udp or udp6: the local address (4 or 16 bytes as the kernel
// stores them), the port and the owner.
struct SocketRow {
  std::array<uint32_t, 4> words{};
  int word_count = 0;
  unsigned port = 0;
  uid_t owner = 0;
};

bool parse_row(const std::string& line, SocketRow& row) {
  char address[33] = {};
  unsigned long owner = 0;
  // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
  if (std::sscanf(line.c_str(), " %*s %32[0-9A-Fa-f]:%x %*s %*s %*s %*s %*s %lu", address,
                  &row.port, &owner) != 3)
    return false;
  const size_t digits = std::strlen(address);
  if (digits != 8 && digits != 32) return false;
  row.word_count = static_cast<int>(digits / 8);
  // The kernel prints each 32-bit word of the address as it lies in memory.
  for (int i = 0; i < row.word_count; ++i) {
    const std::string word(address + 8 * i, 8);
    row.words[static_cast<size_t>(i)] =
        static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 16));
  }
  row.owner = static_cast<uid_t>(owner);
  return true;
}

// Whether a socket bound to the row's address can send from `address`: the same
// address, or any address (0.0.0.0, ::, or an IPv4 address mapped into IPv6).
bool row_covers(const SocketRow& row, in_addr_t address) {
  if (row.word_count == 1) return row.words[0] == 0 || row.words[0] == address;
  static constexpr uint8_t kMappedPrefix[4] = {0, 0, 0xFF, 0xFF};
  uint32_t mapped = 0;
  std::memcpy(&mapped, kMappedPrefix, sizeof mapped);
  const bool any =
      std::all_of(row.words.begin(), row.words.end(), [](uint32_t w) { return w == 0; });
  return any || (row.words[0] == 0 && row.words[1] == 0 && row.words[2] == mapped &&
                 row.words[3] == address);
}

}  // namespace

bool parse_address_range(const char* text, AddressRange& range, std::string& error) {
  const std::string whole = text != nullptr ? text : "";
  const size_t slash = whole.find('/');
  const std::string address_text = whole.substr(0, slash);
  in_addr address{};
  if (inet_pton(AF_INET, address_text.c_str(), &address) != 1) {
    error = "\"" + whole + "\" is not an IPv4 address with an optional /PREFIX";
    return false;
  }
  unsigned long prefix = 32;
  if (slash != std::string::npos) {
    const std::string prefix_text = whole.substr(slash + 1);
    char* end = nullptr;
    errno = 0;
    prefix = std::strtoul(prefix_text.c_str(), &end, 10);
    if (prefix_text.empty() || prefix_text.find_first_not_of("0123456789") != std::string::npos ||
        errno != 0 || *end != '\0' || prefix > 32) {
      error = "the prefix of \"" + whole + "\" is not a number from 0 to 32";
      return false;
    }
  }
  range.mask = htonl(prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix));
  range.network = address.s_addr & range.mask;
  return true;
}

bool is_loopback(in_addr address) { return (ntohl(address.s_addr) >> 24) == 127; }

std::vector<uid_t> udp_socket_owners(const sockaddr_in& sender, const std::string& proc_net) {
  std::vector<uid_t> owners;
  const unsigned port = ntohs(sender.sin_port);
  for (const char* table : {"/udp", "/udp6"}) {
    std::ifstream in(proc_net + table);
    std::string line;
    std::getline(in, line);  // the column names
    SocketRow row;
    while (std::getline(in, line))
      if (parse_row(line, row) && row.port == port && row_covers(row, sender.sin_addr.s_addr))
        owners.push_back(row.owner);
  }
  return owners;
}

SenderCheck::SenderCheck(std::vector<AddressRange> allowed, bool other_users_allowed,
                         uid_t own_user, std::FILE* messages, std::string proc_net)
    : allowed_(std::move(allowed)),
      other_users_allowed_(other_users_allowed),
      own_user_(own_user),
      messages_(messages),
      proc_net_(std::move(proc_net)) {}

bool SenderCheck::admits(const sockaddr_in& sender, double arrival_ms, double now_ms) {
  if (!allowed_.empty() &&
      std::none_of(allowed_.begin(), allowed_.end(),
                   [&](const AddressRange& range) { return range.contains(sender.sin_addr); })) {
    refuse(sender, "an address that --allow does not name");
    return false;
  }
  if (other_users_allowed_ || !is_loopback(sender.sin_addr)) return true;
  if (own_local_sender(sender, arrival_ms, now_ms)) return true;
  refuse(sender, "a socket of another user, or one already closed");
  return false;
}

bool SenderCheck::own_local_sender(const sockaddr_in& sender, double arrival_ms, double now_ms) {
  Confirmed* known = nullptr;
  for (Confirmed& entry : confirmed_)
    if (entry.at_ms >= 0 && entry.address == sender.sin_addr.s_addr &&
        entry.port == sender.sin_port)
      known = &entry;
  // Seen open and the device's own after the datagram arrived: it came from that socket.
  if (known != nullptr && arrival_ms <= known->at_ms) return true;
  const std::vector<uid_t> owners = udp_socket_owners(sender, proc_net_);
  if (owners.empty()) return known != nullptr && arrival_ms <= known->at_ms + kClosedSenderGraceMs;
  if (std::any_of(owners.begin(), owners.end(), [&](uid_t owner) { return owner != own_user_; })) {
    if (known != nullptr) known->at_ms = -1;
    return false;
  }
  if (known == nullptr)
    known = &*std::min_element(
        confirmed_.begin(), confirmed_.end(),
        [](const Confirmed& a, const Confirmed& b) { return a.at_ms < b.at_ms; });
  *known = {sender.sin_addr.s_addr, sender.sin_port, now_ms};
  return true;
}

void SenderCheck::refuse(const sockaddr_in& sender, const char* why) {
  if (refused_++ == 0)
    std::fprintf(messages_,
                 "tapline-device: refused a frame from %s (%s); further refusals are only "
                 "counted\n",
                 format_address(sender).c_str(), why);
}

void SenderCheck::say_total() const {
  if (refused_ > 0)
    std::fprintf(messages_, "tapline-device: refused %llu frames from senders not allowed\n",
                 static_cast<unsigned long long>(refused_));
}

}  // namespace tapline::device
