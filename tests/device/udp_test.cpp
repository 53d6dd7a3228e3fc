// The tapline-device program end to end: the real binary listens on a free loopback
// port, the UDP transport sends it frames, and its output lines are read back.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "command/frame.h"
#include "transport/udp_transport.h"

namespace {

using tapline::ReportType;
using tapline::testing::ChildProcess;
using tapline::testing::device_binary;
using tapline::testing::json_field;
using tapline::testing::ListeningDevice;

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

}  // namespace
