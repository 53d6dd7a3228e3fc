// The software device under a burst: several senders on loopback send 1,000,000 frames
// (valid and malformed) without any pause. Every frame must be accounted for:
//   sent = frames + bad frames + dropped by the kernel before the device read them,
// the device must print one line for each datagram it read (nothing lost in its own
// processing), and its memory must stay flat.
//   bench_device_load [frames [senders]]     (defaults 1000000 and 4)
// Exit status 0 when every frame is accounted for and memory stayed flat.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const std::string kDevice = std::string(TAPLINE_BINARY_DIR) + "/tools/device/tapline-device";
// Growth of the device's resident memory from the first quarter of the burst to its end
// that still counts as flat.
constexpr long kFlatMemoryKb = 1024;

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> frame(uint8_t type, std::vector<uint8_t> report) {
  const auto type_byte = static_cast<uint8_t>(0x40 | type);
  uint8_t sum = type_byte;
  for (uint8_t b : report) sum = static_cast<uint8_t>(sum + b);
  std::vector<uint8_t> bytes{0x2C, static_cast<uint8_t>(report.size()), sum, type_byte};
  bytes.insert(bytes.end(), report.begin(), report.end());
  return bytes;
}

// What the senders cycle through: nine valid frames of several types, then one malformed
// datagram of a kind that changes from cycle to cycle.
struct Pattern {
  std::vector<std::vector<uint8_t>> valid;
  std::vector<std::vector<uint8_t>> invalid;
};

Pattern make_pattern() {
  Pattern p;
  p.valid = {frame(1, {0, 0, 0x04, 0, 0, 0, 0, 0}),    frame(1, {0, 0, 0, 0, 0, 0, 0, 0}),
             frame(5, {1, 0, 5, 0xFB, 0, 0, 0}),       frame(5, {0, 0, 0, 0, 0, 0, 0}),
             frame(7, {1, 0, 0x10, 0x02, 0x20, 0x04}), frame(7, {0, 0, 0, 0, 0, 0}),
             frame(2, {0xE9, 0, 0, 0, 0, 0, 0}),       frame(2, {0, 0, 0, 0, 0, 0, 0}),
             frame(4, {0x01, 0x80, 0, 0, 0, 0, 0})};
  std::vector<uint8_t> bad_checksum = frame(1, {0, 0, 0x05, 0, 0, 0, 0, 0});
  bad_checksum[2] ^= 0xFF;
  std::vector<uint8_t> wrong_header = frame(5, {0, 0, 0, 0, 0, 0, 0});
  wrong_header[0] = 0x2D;
  p.invalid = {bad_checksum, wrong_header, {0x2C, 0x08}, frame(9, {1, 2, 3})};
  return p;
}

long resident_kb(pid_t pid, const char* field = "VmRSS:") {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0)
      return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  return -1;
}

struct Device {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Device start_device() {
  Device device;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return device;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<std::string> args{kDevice, "--listen", "127.0.0.1:0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&device.pid, kDevice.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    device.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  device.out = out[0];
  device.err = err[0];
  return device;
}

int listening_port(int err_fd) {
  std::string line;
  char c;
  while (read(err_fd, &c, 1) == 1 && c != '\n') line += c;
  const size_t colon = line.rfind(':');
  return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

// Reads the device's standard output: counts the lines and keeps those of the summary.
class OutputReader {
 public:
  explicit OutputReader(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~OutputReader() { join(); }
  uint64_t lines() const { return lines_.load(); }
  // Waits for the end of the output.
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  // Only after join().
  const std::string& tail() const { return tail_; }

 private:
  void run() {
    std::vector<char> buffer(1 << 16);
    std::string line;
    for (ssize_t n; (n = read(fd_, buffer.data(), buffer.size())) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
          if (line.size() < 200) line += buffer[i];
          continue;
        }
        if (line.rfind("summary:", 0) == 0 || in_summary_) {
          in_summary_ = true;
          tail_ += line + "\n";
        } else {
          lines_.fetch_add(1, std::memory_order_relaxed);
        }
        line.clear();
      }
    }
  }
  int fd_;
  std::atomic<uint64_t> lines_{0};
  bool in_summary_ = false;
  std::string tail_;
  std::thread thread_;
};

uint64_t summary_number(const std::string& summary, const std::string& before) {
  const size_t at = summary.find(before);
  return at == std::string::npos ? 0
                                 : std::strtoull(summary.c_str() + at + before.size(), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int senders = argc > 2 ? std::atoi(argv[2]) : 4;
  const Pattern pattern = make_pattern();

  Device device = start_device();
  if (device.pid <= 0) {
    std::fprintf(stderr, "cannot start %s\n", kDevice.c_str());
    return 2;
  }
  const int port = listening_port(device.err);
  if (port <= 0) {
    std::fprintf(stderr, "the device named no port\n");
    return 2;
  }
  OutputReader reader(device.out);
  const long rss_start = resident_kb(device.pid);

  std::atomic<uint64_t> sent_valid{0}, sent_invalid{0}, send_failures{0};
  std::atomic<uint64_t> progress{0};
  const auto started = Clock::now();
  std::vector<std::thread> threads;
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([&, s] {
      const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<uint16_t>(port));
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
      const uint64_t share = total / senders + (static_cast<uint64_t>(s) < total % senders);
      uint64_t valid = 0, invalid = 0, failed = 0;
      for (uint64_t i = 0; i < share; ++i) {
        const bool bad = i % 10 == 9;
        const auto& bytes =
            bad ? pattern.invalid[(i / 10) % pattern.invalid.size()] : pattern.valid[i % 10];
        if (send(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size())) {
          ++(bad ? invalid : valid);
        } else {
          ++failed;  // not sent, so not the device's to account for
        }
        if ((i & 4095) == 0) progress.fetch_add(4096, std::memory_order_relaxed);
      }
      sent_valid += valid;
      sent_invalid += invalid;
      send_failures += failed;
      close(fd);
    });
  }
  // Resident memory once a quarter of the burst is out, then at its end.
  while (progress.load() < total / 4 && Clock::now() - started < std::chrono::seconds(120))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const long rss_quarter = resident_kb(device.pid);
  for (auto& t : threads) t.join();
  const double send_seconds = std::chrono::duration<double>(Clock::now() - started).count();

  // The device has read everything it will read once its line count stops moving.
  uint64_t seen = reader.lines();
  for (int quiet = 0; quiet < 20;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t now = reader.lines();
    quiet = now == seen ? quiet + 1 : 0;
    seen = now;
  }
  const double total_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const long rss_end = resident_kb(device.pid);
  const long rss_peak = resident_kb(device.pid, "VmHWM:");
  kill(device.pid, SIGTERM);
  int status = 0;
  waitpid(device.pid, &status, 0);
  reader.join();
  close(device.out);
  close(device.err);

  const std::string& summary = reader.tail();
  const uint64_t frames = summary_number(summary, "summary: ");
  const uint64_t bad = summary_number(summary, "frame, ") + summary_number(summary, "frames, ");
  const uint64_t dropped = summary_number(summary, "dropped by the kernel before reading: ");
  const uint64_t sent = sent_valid + sent_invalid;
  const bool accounted = sent == frames + bad + dropped;
  const bool all_printed = reader.lines() == frames + bad;
  const bool flat = rss_end - rss_quarter <= kFlatMemoryKb;

  std::printf("senders %d, datagrams sent %llu (valid %llu, malformed %llu), send failures %llu\n",
              senders, static_cast<unsigned long long>(sent),
              static_cast<unsigned long long>(sent_valid.load()),
              static_cast<unsigned long long>(sent_invalid.load()),
              static_cast<unsigned long long>(send_failures.load()));
  std::printf("device: frames %llu + bad frames %llu + dropped by the kernel %llu = %llu (%s)\n",
              static_cast<unsigned long long>(frames), static_cast<unsigned long long>(bad),
              static_cast<unsigned long long>(dropped),
              static_cast<unsigned long long>(frames + bad + dropped),
              accounted ? "every frame accounted for" : "MISMATCH");
  std::printf("device output lines %llu (%s)\n", static_cast<unsigned long long>(reader.lines()),
              all_printed ? "one per datagram read" : "MISMATCH");
  std::printf("sending took %.2f s (%.0f datagrams/s); the device finished after %.2f s\n",
              send_seconds, sent / send_seconds, total_seconds);
  std::printf(
      "device memory: %ld kB at start, %ld kB after a quarter, %ld kB at the end, peak "
      "%ld kB (%s)\n",
      rss_start, rss_quarter, rss_end, rss_peak, flat ? "flat" : "GROWING");
  std::printf("device exit status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return accounted && all_printed && flat && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
