// How soon a stop takes effect: the console program runs a script that holds a key and
// then sleeps, computes, runs Loop with 1000 endless timers, calls functions in a loop, or
// waits for a server; SIGINT is sent, and the time until the key's release reaches the
// receiver (and until the process has exited) is measured.
//   bench_safe_stop [runs]      (default 20 per case)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int udp_receiver(int& port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

// The next datagram's first bytes, or -1 when none came within `timeout_ms`.
int next_frame_byte(int fd, int timeout_ms, int index) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, timeout_ms) != 1) return -1;
  uint8_t bytes[64] = {};
  if (recv(fd, bytes, sizeof bytes, 0) <= index) return -1;
  return bytes[index];
}

struct Case {
  const char* name;
  std::string script;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::string tapline = std::string(TAPLINE_BINARY_DIR) + "/tapline";
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&server), sizeof server);
  listen(listener, 64);
  socklen_t length = sizeof server;
  getsockname(listener, reinterpret_cast<sockaddr*>(&server), &length);
  const std::string silent_url = "http://127.0.0.1:" + std::to_string(ntohs(server.sin_port)) + "/";

  const std::vector<Case> cases = {
      {"sleep", "KeyDown('a')\nsleep(3600000)\n"},
      {"computing", "KeyDown('a')\nlocal n = 0\nwhile true do n = n + 1 end\n"},
      {"Loop, 1000 timers",
       "KeyDown('a')\nfor i = 1, 1000 do TimerLoopStart(function() end, 0) end\nLoop()\n"},
      {"calls in a loop", "KeyDown('a')\nwhile true do GetTimeStamp() end\n"},
      {"Curl, silent server", "KeyDown('a')\nCurl('" + silent_url + "')\n"},
  };
  const std::string path = "/tmp/tapline-bench-stop-" + std::to_string(getpid()) + ".lua";
  std::printf("%-22s %12s %12s %12s\n", "script is in", "release (ms)", "max (ms)", "exit (ms)");
  for (const Case& c : cases) {
    std::ofstream(path) << c.script;
    std::vector<double> release_ms, exit_ms;
    for (int run = 0; run < runs; ++run) {
      int port = 0;
      const int receiver = udp_receiver(port);
      const pid_t pid = fork();
      if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0), dup2(null_fd, 1), dup2(null_fd, 2);
        const std::string port_text = std::to_string(port);
        execl(tapline.c_str(), tapline.c_str(), path.c_str(), "net", "127.0.0.1", port_text.c_str(),
              nullptr);
        _exit(127);
      }
      if (next_frame_byte(receiver, 10000, 6) != 0x04) {
        std::fprintf(stderr, "%s: the key press did not arrive\n", c.name);
        return 1;
      }
      // Let the script reach the place it is to be stopped in.
      poll(nullptr, 0, 50);
      const auto sent = Clock::now();
      kill(pid, SIGINT);
      const int released = next_frame_byte(receiver, 10000, 6);
      const auto release_time = Clock::now();
      int status = 0;
      waitpid(pid, &status, 0);
      const auto exit_time = Clock::now();
      close(receiver);
      if (released != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 130) {
        std::fprintf(stderr, "%s: no release or wrong status\n", c.name);
        return 1;
      }
      release_ms.push_back(std::chrono::duration<double, std::milli>(release_time - sent).count());
      exit_ms.push_back(std::chrono::duration<double, std::milli>(exit_time - sent).count());
    }
    std::printf("%-22s %12.2f %12.2f %12.2f\n", c.name, median(release_ms),
                *std::max_element(release_ms.begin(), release_ms.end()), median(exit_ms));
  }
  std::remove(path.c_str());
  close(listener);
  return 0;
}
