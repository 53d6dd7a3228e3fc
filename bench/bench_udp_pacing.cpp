// How evenly the UDP transport paces frames: sends keyboard frames through the
// transport's send callback to a receiver on loopback and measures the gaps between
// their kernel receive timestamps.
//
//   bench_udp_pacing [frames]    (default 500)
//
// Goals: no gap below 20 ms, median <= 20.05 ms, p99 <= 20.5 ms, and the whole run within
// 0.25 % of frames x 20 ms. Exits with 1 when a goal is missed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "command/frame.h"
#include "transport/udpcomm.h"

namespace {

constexpr double kPauseMs = tapline::kUdpFramePauseMs;

int64_t nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

int64_t monotonic_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return nanoseconds(now);
}

// Receives `count` datagrams and keeps their kernel receive timestamps (ns). The
// receiver drains its queue every 100 ms instead of waking for each datagram, so that
// its own wake-ups do not delay the sender it measures. Stops when nothing has arrived
// for two seconds, so a lost datagram cannot hang the run.
void receive_timestamps(int socket_fd, size_t count, std::vector<int64_t>& stamps) {
  uint8_t buffer[64];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  int idle_rounds = 0;
  while (stamps.size() < count && idle_rounds < 20) {
    const timespec interval{0, 100000000};
    nanosleep(&interval, nullptr);
    ++idle_rounds;
    for (;;) {
      iovec vector{buffer, sizeof buffer};
      msghdr message{};
      message.msg_iov = &vector;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      if (recvmsg(socket_fd, &message, MSG_DONTWAIT) < 0) break;
      idle_rounds = 0;
      for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
           header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp{};
          std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
          stamps.push_back(nanoseconds(stamp));
        }
      }
    }
  }
}

double percentile(const std::vector<double>& sorted, double fraction) {
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  const size_t frames = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 500;
  if (frames < 3) {
    std::fprintf(stderr, "bench_udp_pacing: at least 3 frames\n");
    return 2;
  }

  const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  const int on = 1;
  setsockopt(receiver, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("bench_udp_pacing: receiver");
    return 2;
  }

  std::vector<int64_t> stamps;
  stamps.reserve(frames);
  std::thread receiving(receive_timestamps, receiver, frames, std::ref(stamps));

  netcfg("127.0.0.1", ntohs(address.sin_port));
  uint8_t report[8] = {0, 0, 0x04, 0, 0, 0, 0, 0};
  const int64_t started = monotonic_now_ns();
  for (size_t i = 0; i < frames; ++i) {
    report[2] = static_cast<uint8_t>(0x04 + i % 26);
    tapline::send_report(tapline::ReportType::Keyboard, report, sizeof report);
  }
  const int64_t finished = monotonic_now_ns();
  receiving.join();
  close(receiver);

  if (stamps.size() != frames) {
    std::printf("received %zu of %zu frames (or no kernel timestamps)\n", stamps.size(), frames);
    return 1;
  }
  std::vector<double> gaps;
  for (size_t i = 1; i < stamps.size(); ++i)
    gaps.push_back(static_cast<double>(stamps[i] - stamps[i - 1]) / 1e6);
  std::vector<double> sorted = gaps;
  std::sort(sorted.begin(), sorted.end());
  const size_t below = static_cast<size_t>(
      std::count_if(gaps.begin(), gaps.end(), [](double gap) { return gap < kPauseMs; }));

  const double span_ms = static_cast<double>(stamps.back() - stamps.front()) / 1e6;
  const double span_drift = (span_ms / (kPauseMs * static_cast<double>(gaps.size())) - 1) * 100;
  const double run_ms = static_cast<double>(finished - started) / 1e6;
  const double run_drift = (run_ms / (kPauseMs * static_cast<double>(frames)) - 1) * 100;

  const double median = percentile(sorted, 0.5);
  const double p99 = percentile(sorted, 0.99);
  std::printf("frames %zu, gaps %zu (kernel receive timestamps, ms)\n", frames, gaps.size());
  std::printf("  min %.4f  median %.4f  p99 %.4f  max %.4f  below %.0f ms: %zu\n", sorted.front(),
              median, p99, sorted.back(), kPauseMs, below);
  std::printf("  arrivals span %.3f ms for %zu x %.0f ms: drift %+.3f %%\n", span_ms, gaps.size(),
              kPauseMs, span_drift);
  std::printf("  sending took %.3f ms for %zu x %.0f ms: drift %+.3f %%\n", run_ms, frames,
              kPauseMs, run_drift);

  const bool met =
      below == 0 && median <= 20.05 && p99 <= 20.5 && run_drift <= 0.25 && span_drift <= 0.25;
  std::printf("goals (no gap < 20 ms, median <= 20.05, p99 <= 20.5, drift <= 0.25 %%): %s\n",
              met ? "met" : "MISSED");
  return met ? 0 : 1;
}
