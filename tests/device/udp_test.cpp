// The tapline-device program end to end: the real binary listens on a free loopback
// port, the UDP transport sends it frames, and its output lines are read back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "command/frame.h"
#include "inputs/sender_check.h"
#include "program_run.h"
#include "transport/udp_transport.h"

namespace {

using tapline::ReportType;
using tapline::testing::ChildProcess;
using tapline::testing::device_binary;
using tapline::testing::json_field;
using tapline::testing::ListeningDevice;
using tapline::testing::ProgramResult;
using tapline::testing::run_program;

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

struct SentReport {
  ReportType type;
  const char* type_name;
  std::vector<uint8_t> report;
};

TEST(DeviceProgram, DecodesEveryFrameTheUdpTransportSendsByteForByte) {
  ListeningDevice device(device_binary(), {"--json"});
  const int port = device.port();
  ASSERT_GT(port, 0);
  ASSERT_NE(0, netcfg("127.0.0.1", port));

  std::vector<uint8_t> firmware_update(16, 0);
  firmware_update[0] = 0xF3;
  firmware_update[1] = 0x0C;
  const std::vector<SentReport> sent{
      {ReportType::Keyboard, "Keyboard", {0x02, 0, 0x04, 0x9E, 0, 0, 0, 0}},
      {ReportType::Keyboard, "Keyboard", {0, 0, 0, 0, 0, 0, 0, 0}},
      {ReportType::Consumer, "Consumer", {0xE9, 0, 0, 0, 0, 0, 0}},
      {ReportType::SystemControl, "SystemControl", {0x02, 0, 0, 0, 0, 0, 0}},
      {ReportType::Joystick, "Joystick", {0x03, 0x80, 0, 0, 0, 0, 0}},
      {ReportType::Mouse, "Mouse", {0x01, 0xFF, 0x2C, 0xFE, 0, 0, 0}},
      {ReportType::AbsoluteMouse, "AbsoluteMouse", {0, 0, 0xFF, 0x0F, 0xFF, 0x07, 0}},
      {ReportType::Touch, "Touch", {0x01, 0x00, 0xFF, 0x07, 0xFF, 0x07}},
      {ReportType::DeviceCommand, "DeviceCommand", firmware_update},
  };
  for (const SentReport& report : sent)
    ASSERT_EQ(1, tapline::send_report(report.type, report.report.data(), report.report.size()));
  // One malformed datagram straight through the transport: a checksum that is off by one.
  const uint8_t bad[] = {0x2C, 0x07, 0x44, 0x42, 0x01, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, udp_send("127.0.0.1", port, bad, sizeof bad));

  double previous_time = -1e9;
  for (size_t i = 0; i < sent.size(); ++i) {
    const std::string line = device.out_line();
    SCOPED_TRACE(line);
    EXPECT_EQ(std::to_string(i + 1), json_field(line, "seq"));
    EXPECT_EQ(sent[i].type_name, json_field(line, "type"));
    EXPECT_EQ("1", json_field(line, "channel"));
    EXPECT_EQ(hex(sent[i].report), json_field(line, "report"));
    const double time = std::stod(json_field(line, "time_ms"));
    EXPECT_GE(time, previous_time) << "arrival times never go back";
    previous_time = time;
  }
  const std::string rejected = device.out_line();
  EXPECT_EQ("bad checksum", json_field(rejected, "error")) << rejected;
  EXPECT_EQ(hex({std::begin(bad), std::end(bad)}), json_field(rejected, "datagram"));

  device.signal(SIGTERM);
  const std::string summary = device.out_line();
  EXPECT_EQ(0u, summary.find("{\"summary\":{\"frames\":9,\"bad_frames\":1,")) << summary;
  EXPECT_NE(std::string::npos, summary.find("\"Keyboard\":2,\"Consumer\":1")) << summary;
  EXPECT_NE(std::string::npos, summary.find("\"bad checksum\":1")) << summary;
  EXPECT_EQ(0, device.wait_exit_status());
  set_send_cb(nullptr);
}

TEST(DeviceProgram, PrintsTextLinesAndASummaryOnInterrupt) {
  ListeningDevice device(device_binary());
  const int port = device.port();
  ASSERT_GT(port, 0);
  ASSERT_NE(0, netcfg("127.0.0.1", port));
  const uint8_t key_a[8] = {0, 0, 0x04, 0, 0, 0, 0, 0};
  ASSERT_EQ(1, tapline::send_report(ReportType::Keyboard, key_a, sizeof key_a));
  const uint8_t too_short[2] = {0x2C, 0x08};
  ASSERT_EQ(0, udp_send("127.0.0.1", port, too_short, sizeof too_short));

  const std::string frame_line = device.out_line();
  EXPECT_NE(std::string::npos, frame_line.find("ch1 Keyboard")) << frame_line;
  EXPECT_NE(std::string::npos, frame_line.find("keys: a  (press a)")) << frame_line;
  const std::string bad_line = device.out_line();
  EXPECT_NE(std::string::npos, bad_line.find("bad frame (short)")) << bad_line;

  device.signal(SIGINT);
  EXPECT_EQ("summary: 1 frame, 1 bad frame", device.out_line());
  EXPECT_EQ("  frames by type: Keyboard 1", device.out_line());
  EXPECT_EQ("  bad frames by reason: short 1", device.out_line());
  EXPECT_EQ("  still held on ch1: keys a", device.out_line());
  EXPECT_EQ(0, device.wait_exit_status());
  set_send_cb(nullptr);
}

TEST(DeviceProgram, RefusesABadListenAddressWithAClearMessage) {
  ChildProcess device({device_binary(), "--listen", "127.0.0.1:70000"});
  bool ok = false;
  const std::string message = device.err_line(ok);
  EXPECT_NE(std::string::npos, message.find("0 to 65535")) << message;
  EXPECT_EQ(2, device.wait_exit_status());
}

TEST(DeviceProgram, ReportsAPortThatIsTakenAndExitsWithFailure) {
  ListeningDevice first(device_binary());
  const int port = first.port();
  ASSERT_GT(port, 0);
  ChildProcess second({device_binary(), "--listen", "127.0.0.1:" + std::to_string(port)});
  bool ok = false;
  const std::string message = second.err_line(ok);
  EXPECT_NE(std::string::npos, message.find("cannot listen on 127.0.0.1:" + std::to_string(port)))
      << message;
  EXPECT_EQ(1, second.wait_exit_status());
}

TEST(DeviceProgram, HelpDescribesTheOptions) {
  ChildProcess device({device_binary(), "--help"});
  const std::string text = device.rest_of_out();
  EXPECT_NE(std::string::npos, text.find("--listen ADDR:PORT"));
  EXPECT_NE(std::string::npos, text.find("--json"));
  EXPECT_EQ(0, device.wait_exit_status());
}

sockaddr_in sender(const char* address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  inet_pton(AF_INET, address, &result.sin_addr);
  result.sin_port = htons(port);
  return result;
}

TEST(SenderCheck, TakesOnlyAddressesTheAllowListNames) {
  using tapline::device::AddressRange;
  using tapline::device::parse_address_range;
  std::vector<AddressRange> allowed(2);
  std::string error;
  ASSERT_TRUE(parse_address_range("192.0.2.77/24", allowed[0], error)) << error;
  ASSERT_TRUE(parse_address_range("198.51.100.7", allowed[1], error)) << error;
  for (const char* bad : {"192.0.2.0/33", "192.0.2.0/", "192.0.2/24", "host/8", "10.0.0.1/-1"}) {
    AddressRange range;
    EXPECT_FALSE(parse_address_range(bad, range, error)) << bad;
  }

  char* said = nullptr;
  size_t said_length = 0;
  std::FILE* messages = open_memstream(&said, &said_length);
  ASSERT_NE(messages, nullptr);
  tapline::device::SenderCheck check(allowed, false, geteuid(), messages);
  EXPECT_TRUE(check.admits(sender("192.0.2.1", 5000), 0, 0));
  EXPECT_TRUE(check.admits(sender("192.0.2.255", 5000), 0, 0));
  EXPECT_TRUE(check.admits(sender("198.51.100.7", 5000), 0, 0));
  EXPECT_FALSE(check.admits(sender("192.0.3.1", 5000), 0, 0));
  EXPECT_FALSE(check.admits(sender("198.51.100.8", 5000), 0, 0));
  EXPECT_EQ(2u, check.refused());
  // Said once, then only counted.
  std::fclose(messages);
  EXPECT_EQ(std::string(said, said_length),
            "tapline-device: refused a frame from 192.0.3.1:5000 (an address that --allow does "
            "not name); further refusals are only counted\n");
  std::free(said);
}

TEST(DeviceProgram, ListensBeyondLoopbackOnlyForTheSendersItIsToldOf) {
  const ProgramResult refused = run_program(device_binary(), {"--listen", "0.0.0.0:0"});
  EXPECT_EQ(2, refused.status);
  EXPECT_EQ(
      "tapline-device: frames carry no proof of who sent them: listening on 0.0.0.0:0 lets anyone "
      "who can reach it drive this device; name the senders to take frames from with --allow "
      "ADDR[/PREFIX]\n",
      refused.err);

  // A loopback listener with an allow-list that leaves this machine out hears nothing.
  ListeningDevice device(device_binary(), {"--allow", "192.0.2.0/24", "--json"});
  ASSERT_GT(device.port(), 0);
  ASSERT_NE(0, netcfg("127.0.0.1", device.port()));
  const uint8_t key_a[8] = {0, 0, 0x04, 0, 0, 0, 0, 0};
  ASSERT_EQ(1, tapline::send_report(ReportType::Keyboard, key_a, sizeof key_a));
  bool ok = false;
  const std::string line = device.err_line(ok);
  EXPECT_EQ(0u, line.find("tapline-device: refused a frame from 127.0.0.1:")) << line;
  device.signal(SIGTERM);
  EXPECT_EQ(0u, device.out_line().find("{\"summary\":{\"frames\":0,"));
  EXPECT_EQ("tapline-device: refused 1 frames from senders not allowed", device.err_line(ok));
  EXPECT_EQ(0, device.wait_exit_status());
  set_send_cb(nullptr);
}

// A child that becomes `nobody`, sends one keyboard report to 127.0.0.1:`port` from a
// socket of its own and keeps that socket open until `hold` is closed.
class OtherUsersSender {
 public:
  OtherUsersSender(int port, uint8_t usage) {
    int sent[2];
    if (pipe(sent) != 0 || pipe(hold_) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(sent[0]);
      close(hold_[1]);
      const uint8_t report[8] = {0, 0, usage, 0, 0, 0, 0, 0};
      const bool done = setgid(65534) == 0 && setuid(65534) == 0 &&
                        netcfg("127.0.0.1", port) != 0 &&
                        tapline::send_report(ReportType::Keyboard, report, sizeof report) == 1;
      const char result = done ? 'y' : 'n';
      if (write(sent[1], &result, 1) != 1) _exit(1);
      char ignored = 0;
      while (read(hold_[0], &ignored, 1) > 0) {
      }
      _exit(0);
    }
    close(sent[1]);
    close(hold_[0]);
    char result = 'n';
    sent_ = read(sent[0], &result, 1) == 1 && result == 'y';
    close(sent[0]);
  }
  ~OtherUsersSender() {
    close(hold_[1]);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool sent() const { return sent_; }

 private:
  int hold_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool sent_ = false;
};

TEST(DeviceProgram, HearsOtherUsersOnThisMachineOnlyWhenAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "sending as another user needs root";
  const uint8_t key_b[8] = {0, 0, 0x05, 0, 0, 0, 0, 0};
  {
    ListeningDevice device(device_binary(), {"--json"});
    ASSERT_GT(device.port(), 0);
    const OtherUsersSender other(device.port(), 0x04);
    ASSERT_TRUE(other.sent());
    ASSERT_NE(0, netcfg("127.0.0.1", device.port()));
    ASSERT_EQ(1, tapline::send_report(ReportType::Keyboard, key_b, sizeof key_b));
    // Our own frame is the first decoded: the other user's was refused.
    const std::string line = device.out_line();
    EXPECT_EQ("1", json_field(line, "seq")) << line;
    EXPECT_EQ("0000050000000000", json_field(line, "report")) << line;
    bool ok = false;
    const std::string notice = device.err_line(ok);
    EXPECT_EQ(0u, notice.find("tapline-device: refused a frame from 127.0.0.1:")) << notice;
    EXPECT_NE(std::string::npos, notice.find("(a socket of another user")) << notice;
    EXPECT_EQ(0, device.end(SIGTERM));
  }
  ListeningDevice device(device_binary(), {"--json", "--allow-other-users"});
  ASSERT_GT(device.port(), 0);
  const OtherUsersSender other(device.port(), 0x04);
  ASSERT_TRUE(other.sent());
  const std::string line = device.out_line();
  EXPECT_EQ("0000040000000000", json_field(line, "report")) << line;
  EXPECT_EQ(0, device.end(SIGTERM));
  set_send_cb(nullptr);
}

}  // namespace
