// The tapline-device program end to end: the real binary listens on a free loopback
// port, the UDP transport sends it frames, and its output lines are read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "command/frame.h"
#include "transport/udpcomm.h"

extern char** environ;

namespace {

using tapline::ReportType;

const std::string kDevice = std::string(TAPLINE_BINARY_DIR) + "/tools/device/tapline-device";
// Only guards against a hung run; no assertion depends on how fast anything happens.
constexpr int kHangGuardMs = 10000;

// The device as a child process with its standard output and error read through pipes.
class DeviceProcess {
 public:
  explicit DeviceProcess(std::vector<std::string> arguments) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    arguments.insert(arguments.begin(), kDevice);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, kDevice.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    stdout_ = out[0];
    stderr_ = err[0];
  }

  ~DeviceProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
    if (stderr_ >= 0) close(stderr_);
  }

  bool started() const { return pid_ > 0; }

  // One line without its '\n'; empty with `ok` false at end of stream or on a hang.
  std::string read_stdout_line(bool& ok) { return read_line(stdout_, stdout_buffer_, ok); }
  std::string read_stderr_line(bool& ok) { return read_line(stderr_, stderr_buffer_, ok); }
  std::string read_stdout_line() {
    bool ok = false;
    std::string line = read_line(stdout_, stdout_buffer_, ok);
    EXPECT_TRUE(ok) << "no further line from the device";
    return line;
  }

  // The port from the device's first line on standard error, 0 when absent.
  int listening_port() {
    bool ok = false;
    const std::string line = read_stderr_line(ok);
    const std::string prefix = "listening on 127.0.0.1:";
    if (!ok || line.rfind(prefix, 0) != 0) {
      ADD_FAILURE() << "first line on standard error: \"" << line << "\"";
      return 0;
    }
    return std::stoi(line.substr(prefix.size()));
  }

  void signal(int number) { kill(pid_, number); }

  // The exit status after the process ended; -1 when it did not exit normally.
  int wait_exit_status() {
    int status = 0;
    const pid_t waited = waitpid(pid_, &status, 0);
    pid_ = -1;
    if (waited < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

 private:
  static std::string read_line(int fd, std::string& buffer, bool& ok) {
    ok = false;
    for (;;) {
      const size_t end = buffer.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        ok = true;
        return line;
      }
      pollfd watched{fd, POLLIN, 0};
      if (poll(&watched, 1, kHangGuardMs) <= 0) return {};
      char chunk[4096];
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got <= 0) return {};
      buffer.append(chunk, static_cast<size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string stdout_buffer_;
  std::string stderr_buffer_;
};

// The text of a string field of a JSON line ("report":"0000..." gives 0000...).
std::string json_string_field(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t start = line.find(key);
  if (start == std::string::npos) return {};
  const size_t value = start + key.size();
  return line.substr(value, line.find('"', value) - value);
}

std::string json_number_field(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t start = line.find(key);
  if (start == std::string::npos) return {};
  const size_t value = start + key.size();
  return line.substr(value, line.find_first_of(",}", value) - value);
}

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
  DeviceProcess device({"--json", "--listen", "127.0.0.1:0"});
  ASSERT_TRUE(device.started());
  const int port = device.listening_port();
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
    const std::string line = device.read_stdout_line();
    SCOPED_TRACE(line);
    EXPECT_EQ(std::to_string(i + 1), json_number_field(line, "seq"));
    EXPECT_EQ(sent[i].type_name, json_string_field(line, "type"));
    EXPECT_EQ("1", json_number_field(line, "channel"));
    EXPECT_EQ(hex(sent[i].report), json_string_field(line, "report"));
    const double time = std::stod(json_number_field(line, "time_ms"));
    EXPECT_GE(time, previous_time) << "arrival times never go back";
    previous_time = time;
  }
  const std::string rejected = device.read_stdout_line();
  EXPECT_EQ("bad checksum", json_string_field(rejected, "error")) << rejected;
  EXPECT_EQ(hex({std::begin(bad), std::end(bad)}), json_string_field(rejected, "datagram"));

  device.signal(SIGTERM);
  const std::string summary = device.read_stdout_line();
  EXPECT_EQ(0u, summary.find("{\"summary\":{\"frames\":9,\"bad_frames\":1,")) << summary;
  EXPECT_NE(std::string::npos, summary.find("\"Keyboard\":2,\"Consumer\":1")) << summary;
  EXPECT_NE(std::string::npos, summary.find("\"bad checksum\":1")) << summary;
  EXPECT_EQ(0, device.wait_exit_status());
  set_send_cb(nullptr);
}

TEST(DeviceProgram, PrintsTextLinesAndASummaryOnInterrupt) {
  DeviceProcess device({"--listen", "127.0.0.1:0"});
  ASSERT_TRUE(device.started());
  const int port = device.listening_port();
  ASSERT_GT(port, 0);
  ASSERT_NE(0, netcfg("127.0.0.1", port));
  const uint8_t key_a[8] = {0, 0, 0x04, 0, 0, 0, 0, 0};
  ASSERT_EQ(1, tapline::send_report(ReportType::Keyboard, key_a, sizeof key_a));
  const uint8_t too_short[2] = {0x2C, 0x08};
  ASSERT_EQ(0, udp_send("127.0.0.1", port, too_short, sizeof too_short));

  const std::string frame_line = device.read_stdout_line();
  EXPECT_NE(std::string::npos, frame_line.find("ch1 Keyboard")) << frame_line;
  EXPECT_NE(std::string::npos, frame_line.find("keys: a  (press a)")) << frame_line;
  const std::string bad_line = device.read_stdout_line();
  EXPECT_NE(std::string::npos, bad_line.find("bad frame (short)")) << bad_line;

  device.signal(SIGINT);
  EXPECT_EQ("summary: 1 frame, 1 bad frame", device.read_stdout_line());
  EXPECT_EQ("  frames by type: Keyboard 1", device.read_stdout_line());
  EXPECT_EQ("  bad frames by reason: short 1", device.read_stdout_line());
  EXPECT_EQ("  still held on ch1: keys a", device.read_stdout_line());
  EXPECT_EQ(0, device.wait_exit_status());
  set_send_cb(nullptr);
}

TEST(DeviceProgram, RefusesABadListenAddressWithAClearMessage) {
  DeviceProcess device({"--listen", "127.0.0.1:70000"});
  ASSERT_TRUE(device.started());
  bool ok = false;
  const std::string message = device.read_stderr_line(ok);
  EXPECT_NE(std::string::npos, message.find("0 to 65535")) << message;
  EXPECT_EQ(2, device.wait_exit_status());
}

TEST(DeviceProgram, ReportsAPortThatIsTakenAndExitsWithFailure) {
  DeviceProcess first({"--listen", "127.0.0.1:0"});
  ASSERT_TRUE(first.started());
  const int port = first.listening_port();
  ASSERT_GT(port, 0);
  DeviceProcess second({"--listen", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(second.started());
  bool ok = false;
  const std::string message = second.read_stderr_line(ok);
  EXPECT_NE(std::string::npos, message.find("cannot listen on 127.0.0.1:" + std::to_string(port)))
      << message;
  EXPECT_EQ(1, second.wait_exit_status());
}

TEST(DeviceProgram, HelpDescribesTheOptions) {
  DeviceProcess device({"--help"});
  ASSERT_TRUE(device.started());
  std::string text;
  for (bool ok = true; ok;) text += device.read_stdout_line(ok) + "\n";
  EXPECT_NE(std::string::npos, text.find("--listen ADDR:PORT"));
  EXPECT_NE(std::string::npos, text.find("--json"));
  EXPECT_EQ(0, device.wait_exit_status());
}

}  // namespace
