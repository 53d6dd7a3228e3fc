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
#include "transport/udp_transport.h"

namespace {

constexpr double kPauseMs = tapline::kUdpFramePauseMs;

int64_t nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

int64_t now_ns(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return nanoseconds(now);
}

// Receive timestamps are wall-clock times, which the system may step during a run; each
// is moved onto the monotonic clock with the offset read when it is dequeued.
struct Arrival {
  int64_t monotonic_ns;
  bool trusted;  // false when the wall clock was stepped between the stamp and the read
};

int64_t wall_minus_monotonic() { return now_ns(CLOCK_REALTIME) - now_ns(CLOCK_MONOTONIC); }

// Receives `count` datagrams and keeps their arrival times. The receiver drains its
// queue every 100 ms instead of waking for each datagram, so that its own wake-ups do
// not delay the sender it measures. A change of the wall-clock offset between two drains
// beyond what slewing can do marks that batch as untrusted. Stops when nothing has
// arrived for two seconds, so a lost datagram cannot hang the run.
void receive_arrivals(int socket_fd, size_t count, std::vector<Arrival>& arrivals) {
  constexpr int64_t kLargestSlewNs = 100000;
  uint8_t buffer[64];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  std::vector<int64_t> batch;
  int64_t previous_offset = wall_minus_monotonic();
  int idle_rounds = 0;
  while (arrivals.size() < count && idle_rounds < 20) {
    const timespec interval{0, 100000000};
    nanosleep(&interval, nullptr);
    ++idle_rounds;
    batch.clear();
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
          batch.push_back(nanoseconds(stamp));
        }
      }
    }
    const int64_t offset = wall_minus_monotonic();
    const bool trusted = std::llabs(offset - previous_offset) <= kLargestSlewNs;
    previous_offset = offset;
    for (const int64_t stamp : batch) arrivals.push_back({stamp - offset, trusted});
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

  // The kernel turns on receive timestamping a moment after it is first asked for;
  // until then datagrams are stamped when they are read, which here is up to 100 ms late.
  const timespec warm_up{0, 300000000};
  nanosleep(&warm_up, nullptr);

  std::vector<Arrival> arrivals;
  arrivals.reserve(frames);
  std::thread receiving(receive_arrivals, receiver, frames, std::ref(arrivals));

  netcfg("127.0.0.1", ntohs(address.sin_port));
  uint8_t report[8] = {0, 0, 0x04, 0, 0, 0, 0, 0};
  const int64_t started = now_ns(CLOCK_MONOTONIC);
  for (size_t i = 0; i < frames; ++i) {
    report[2] = static_cast<uint8_t>(0x04 + i % 26);
    tapline::send_report(tapline::ReportType::Keyboard, report, sizeof report);
  }
  const int64_t finished = now_ns(CLOCK_MONOTONIC);
  receiving.join();
  close(receiver);

  if (arrivals.size() != frames) {
    std::printf("received %zu of %zu frames (or no kernel timestamps)\n", arrivals.size(), frames);
    return 1;
  }
  std::vector<double> gaps;
  size_t left_out = 0;
  for (size_t i = 1; i < arrivals.size(); ++i) {
    if (!arrivals[i - 1].trusted || !arrivals[i].trusted) {
      ++left_out;
      continue;
    }
    gaps.push_back(static_cast<double>(arrivals[i].monotonic_ns - arrivals[i - 1].monotonic_ns) /
                   1e6);
  }
  if (gaps.size() < 2) {
    std::printf("the wall clock kept moving; no gaps to measure\n");
    return 1;
  }
  std::vector<double> sorted = gaps;
  std::sort(sorted.begin(), sorted.end());
  const size_t below = static_cast<size_t>(
      std::count_if(gaps.begin(), gaps.end(), [](double gap) { return gap < kPauseMs; }));

  size_t first = 0;
  size_t last = arrivals.size() - 1;
  while (!arrivals[first].trusted) ++first;
  while (!arrivals[last].trusted) --last;
  const double span_ms =
      static_cast<double>(arrivals[last].monotonic_ns - arrivals[first].monotonic_ns) / 1e6;
  const size_t span_gaps = last - first;
  const double span_drift = (span_ms / (kPauseMs * static_cast<double>(span_gaps)) - 1) * 100;
  const double run_ms = static_cast<double>(finished - started) / 1e6;
  const double run_drift = (run_ms / (kPauseMs * static_cast<double>(frames)) - 1) * 100;

  const double median = percentile(sorted, 0.5);
  const double p99 = percentile(sorted, 0.99);
  std::printf("frames %zu, gaps %zu (kernel receive timestamps, ms)\n", frames, gaps.size());
  std::printf("  min %.4f  median %.4f  p99 %.4f  max %.4f  below %.0f ms: %zu\n", sorted.front(),
              median, p99, sorted.back(), kPauseMs, below);
  std::printf("  arrivals span %.3f ms for %zu x %.0f ms: drift %+.3f %%\n", span_ms, span_gaps,
              kPauseMs, span_drift);
  if (left_out != 0)
    std::printf("  %zu gaps left out: the wall clock was stepped while they were measured\n",
                left_out);
  std::printf("  sending took %.3f ms for %zu x %.0f ms: drift %+.3f %%\n", run_ms, frames,
              kPauseMs, run_drift);

  const bool met =
      below == 0 && median <= 20.05 && p99 <= 20.5 && run_drift <= 0.25 && span_drift <= 0.25;
  std::printf("goals (no gap < 20 ms, median <= 20.05, p99 <= 20.5, drift <= 0.25 %%): %s\n",
              met ? "met" : "MISSED");
  return met ? 0 : 1;
}
