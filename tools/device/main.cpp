// tapline-device: the software device. Receives command frames as UDP datagrams, checks
// and decodes each one, and prints what the hardware would do with it.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "device.h"
#include "print_sinks.h"
#include "udp_receiver.h"

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:9000";

constexpr const char* kHelp =
    "Usage: tapline-device [--listen ADDR:PORT] [--json]\n"
    "\n"
    "The software device: receives command frames as UDP datagrams, checks each one\n"
    "(header, length, checksum, report type and report length), decodes its report and\n"
    "prints one line per datagram on standard output as it arrives.\n"
    "\n"
    "  --listen ADDR:PORT  where to listen (default 127.0.0.1:9000). Port 0 picks a free\n"
    "                      port. Frames sent to the broadcast address 255.255.255.255\n"
    "                      arrive only when listening on 0.0.0.0.\n"
    "  --json              one JSON object per line instead of text: arrival time in ms\n"
    "                      since the start, channel, type, report bytes in hex and the\n"
    "                      decoded fields\n"
    "  --help              show this text\n"
    "\n"
    "The first line on standard error names the address listened on. Malformed datagrams\n"
    "get one line saying why and are counted. On Ctrl+C or SIGTERM the device prints a\n"
    "summary (frames, bad frames, frames by type, anything still held) and exits with 0.\n";

struct Options {
  std::string listen = kDefaultListen;
  bool json = false;
};

// Returns false when the program should stop at once with `status`.
bool parse_options(int argc, char** argv, Options& options, int& status) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kHelp, stdout);
      status = 0;
      return false;
    }
    if (std::strcmp(arg, "--json") == 0) {
      options.json = true;
    } else if (std::strcmp(arg, "--listen") == 0) {
      if (i + 1 == argc) {
        std::fprintf(stderr, "tapline-device: --listen needs ADDR:PORT\n");
        status = 2;
        return false;
      }
      options.listen = argv[++i];
    } else if (std::strncmp(arg, "--listen=", 9) == 0) {
      options.listen = arg + 9;
    } else {
      std::fprintf(stderr, "tapline-device: unknown argument \"%s\" (see --help)\n", arg);
      status = 2;
      return false;
    }
  }
  return true;
}

// SIGINT and SIGTERM are blocked and read from a descriptor, so the stop request is
// handled in the receive loop like any other event and no handler runs at all.
int stop_signal_descriptor() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return -1;
  return signalfd(-1, &stop_signals, SFD_CLOEXEC);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tapline::device;
  Options options;
  int status = 0;
  if (!parse_options(argc, argv, options, status)) return status;

  sockaddr_in address{};
  std::string error;
  if (!parse_listen_address(options.listen.c_str(), address, error)) {
    std::fprintf(stderr, "tapline-device: --listen %s\n", error.c_str());
    return 2;
  }
  const int stop_fd = stop_signal_descriptor();
  if (stop_fd < 0) {
    std::fprintf(stderr, "tapline-device: cannot watch for SIGINT/SIGTERM: %s\n",
                 std::strerror(errno));
    return 1;
  }
  // A reader that goes away must not end the device; its lines are simply lost.
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  UdpReceiver receiver;
  if (!receiver.open(address, error)) {
    std::fprintf(stderr, "tapline-device: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "listening on %s\n", format_address(receiver.bound_address()).c_str());
  std::fflush(stderr);

  Device device;
  std::unique_ptr<FrameSink> printer;
  if (options.json)
    printer = std::make_unique<JsonSink>(stdout);
  else
    printer = std::make_unique<TextSink>(stdout);
  device.add_sink(*printer);

  const bool received_to_the_end = receiver.run(device, stop_fd, error);
  device.finish();
  close(stop_fd);
  if (!received_to_the_end) {
    std::fprintf(stderr, "tapline-device: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
