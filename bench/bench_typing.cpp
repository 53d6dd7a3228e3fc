// Typing throughput of key_string, key_unicodestring and key_gbkstring over the UDP
// transport to a loopback receiver, against the bound set by the transport's pause per
// frame and the fixed delays of the typing commands.
//
//   bench_typing [characters-per-text]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "system/clock.h"
#include "tapline.h"
#include "transport/udp_transport.h"

namespace {

using namespace tapline;

std::atomic<long> frames_sent{0};
std::atomic<long> datagrams_received{0};

// The UDP sink, counted.
void counting_sink(const uint8_t* frame, int length) {
  ++frames_sent;
  udp_frame_sink(frame, length);
}

// The system clock, with a sum of every pause asked for: the transport's and the
// commands' own. That sum is the least time the typing can take.
class PauseCountingClock final : public system::Clock {
 public:
  uint32_t tick_ms() override { return system_.tick_ms(); }
  void sleep_ms(int64_t ms) override {
    requested_ms += ms;
    system_.sleep_ms(ms);
  }
  int64_t requested_ms = 0;

 private:
  system::SystemClock system_;
};

struct Result {
  long frames;
  double seconds;
  int64_t bound_ms;
};

template <typename Typing>
Result measure(PauseCountingClock& clock, Typing typing) {
  frames_sent = 0;
  clock.requested_ms = 0;
  const auto start = std::chrono::steady_clock::now();
  typing();
  const auto end = std::chrono::steady_clock::now();
  return {frames_sent.load(), std::chrono::duration<double>(end - start).count(),
          clock.requested_ms};
}

void report(const char* name, int characters, long expected_frames, int64_t expected_bound_ms,
            const Result& r) {
  const double bound_s = static_cast<double>(r.bound_ms) / 1000.0;
  std::printf("%-18s %5d chars %6ld frames (expected %ld)  %8.3f s  bound %8.3f s%s\n", name,
              characters, r.frames, expected_frames, r.seconds, bound_s,
              r.bound_ms == expected_bound_ms ? "" : "  (bound differs from the delays!)");
  std::printf("%-18s %8.2f frames/s  %6.3f chars/s  bound %6.3f chars/s  overhead %+.2f %%\n", "",
              r.frames / r.seconds, characters / r.seconds, characters / bound_s,
              (r.seconds / bound_s - 1.0) * 100.0);
}

std::string repeat(const std::string& unit, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += unit;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int characters = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

  const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (receiver < 0 || bind(receiver, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("loopback receiver");
    return 1;
  }
  std::thread drain([receiver] {
    uint8_t buffer[64];
    while (recv(receiver, buffer, sizeof buffer, 0) > 0) ++datagrams_received;
  });

  if (netcfg("127.0.0.1", ntohs(address.sin_port)) != 1) return 1;
  set_send_cb(counting_sink);
  PauseCountingClock clock;
  system::set_clock(&clock);
  const int frame_pause = kUdpFramePauseMs;

  // key_string: per character a press and a release frame, then 30 ms.
  const std::string ascii = repeat("Typing 123, fast!", characters).substr(0, characters);
  const Result plain = measure(clock, [&] { key_string(ascii.c_str()); });
  report("key_string", characters, 2L * characters,
         static_cast<int64_t>(characters) * (2 * frame_pause + 30), plain);

  // key_unicodestring: per UTF-16 unit 11 frames and 175 ms, then one final frame.
  const std::string chinese = repeat("中文输入", characters).substr(0, characters * 3);
  const Result unicode = measure(clock, [&] { key_unicodestring(chinese.c_str()); });
  report("key_unicodestring", characters, 11L * characters + 1,
         static_cast<int64_t>(characters) * (11 * frame_pause + 175) + frame_pause, unicode);

  // key_gbkstring (SayString): per character 11 frames and 10 ms.
  const Result gbk = measure(clock, [&] { key_gbkstring(chinese.c_str()); });
  report("key_gbkstring", characters, 11L * characters,
         static_cast<int64_t>(characters) * (11 * frame_pause + 10), gbk);

  system::set_clock(nullptr);
  set_send_cb(nullptr);
  // Let the receiver take the last datagrams, then stop it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  shutdown(receiver, SHUT_RDWR);
  drain.join();
  close(receiver);
  const long sent = plain.frames + unicode.frames + gbk.frames;
  std::printf("datagrams received %ld of %ld sent\n", datagrams_received.load(), sent);
  return datagrams_received.load() == sent ? 0 : 1;
}
