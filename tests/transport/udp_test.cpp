#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "command/frame.h"
#include "frame_receiver.h"
#include "test_clock.h"
#include "transport/udp_transport.h"

namespace {

std::string captured_stdout_of(const std::function<void()>& action) {
  ::testing::internal::CaptureStdout();
  action();
  fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

// Runs first in this program: no socket exists yet.
TEST(UdpBeforeConfiguration, DirectSendFailsWithNotASocket) {
  const uint8_t data[4] = {1, 2, 3, 4};
  int result = 0;
  const std::string out = captured_stdout_of([&] { result = udp_send("127.0.0.1", 9, data, 4); });
  EXPECT_EQ(-1, result);
  EXPECT_EQ(" send error!, error code is " + std::to_string(ENOTSOCK) + "\n", out);
}

class UdpTest : public ::testing::Test {
 protected:
  void SetUp() override { set_channel(1); }
  void TearDown() override { set_send_cb(nullptr); }
  tapline::testing::TestClock clock;
  tapline::testing::FrameReceiver receiver;
};

TEST_F(UdpTest, FramesArriveByteIdenticalOnePerDatagramWithTheirPause) {
  std::string out = captured_stdout_of([&] { netcfg("127.0.0.1", receiver.port()); });
  EXPECT_EQ("network:127.0.0.1:" + std::to_string(receiver.port()) + "\n", out);

  const uint8_t keyboard[8] = {0, 0, 4, 0, 0, 0, 0, 0};
  std::array<uint8_t, 16> command{0xF3, 0x0C};
  EXPECT_EQ(1, makeHid(1, keyboard, 8));
  EXPECT_EQ(1, makeHid(8, command.data(), 16));

  const std::vector<uint8_t> first{0x2C, 8, 0x45, 0x41, 0, 0, 4, 0, 0, 0, 0, 0};
  EXPECT_EQ(first, receiver.next());
  const auto second = receiver.next();
  ASSERT_EQ(20u, second.size());
  EXPECT_EQ(0x10, second[1]);
  EXPECT_EQ((std::vector<int64_t>{20, 20}), clock.sleeps());
}

TEST_F(UdpTest, EmptyAddressAndNonPositivePortKeepTheDestination) {
  netcfg("127.0.0.1", receiver.port());
  std::string out = captured_stdout_of([] { netcfg("", 0); });
  EXPECT_EQ("network:127.0.0.1:" + std::to_string(receiver.port()) + "\n", out);
  out = captured_stdout_of([] { netcfg("", -5); });
  EXPECT_EQ("network:127.0.0.1:" + std::to_string(receiver.port()) + "\n", out);
  const uint8_t report[7] = {1};
  makeHid(5, report, 7);
  EXPECT_EQ(11u, receiver.next().size());
}

TEST_F(UdpTest, PortAbove65535UsesItsLow16Bits) {
  const uint8_t data[3] = {7, 8, 9};
  ASSERT_NE(0, netcfg("127.0.0.1", receiver.port()));
  EXPECT_EQ(0, udp_send("127.0.0.1", receiver.port() + 65536, data, 3));
  EXPECT_EQ((std::vector<uint8_t>{7, 8, 9}), receiver.next());
}

TEST_F(UdpTest, OverlongOrUnresolvableAddressIsRefusedAndTheDestinationStays) {
  netcfg("127.0.0.1", receiver.port());
  for (const std::string& address : {std::string(32, '1'), std::string("192.168.1.300")}) {
    int result = 0;
    const std::string out = captured_stdout_of([&] { result = netcfg(address.c_str(), 1); });
    EXPECT_EQ(-1, result) << address;
    EXPECT_EQ("", out);  // the refusal is reported on standard error
    const uint8_t report[6] = {};
    makeHid(7, report, 6);
    EXPECT_EQ(10u, receiver.next().size()) << address;
  }
  const uint8_t data[1] = {1};
  EXPECT_EQ(-1, udp_send("192.168.1.300", receiver.port(), data, 1));
  EXPECT_EQ(0, udp_send("localhost", receiver.port(), data, 1));
  EXPECT_EQ(std::vector<uint8_t>{1}, receiver.next());
}

TEST_F(UdpTest, SinkPausesEvenWhenTheSendFails) {
  netcfg("127.0.0.1", receiver.port());
  const uint8_t frame[4] = {0x2C, 0, 0, 0};
  // Port 0 is refused by the kernel: the send fails, the pause still holds.
  const std::string out = captured_stdout_of([&] { udp_send("127.0.0.1", 0, frame, 4); });
  EXPECT_NE(std::string::npos, out.find(" send error!, error code is "));
  clock.take_sleeps();
  tapline::udp_frame_sink(frame, 4);
  EXPECT_EQ((std::vector<int64_t>{20}), clock.sleeps());
}

TEST_F(UdpTest, FailedSocketCreationIsReportedAndLaterSendsFailQuietly) {
  netcfg("127.0.0.1", receiver.port());
  // No descriptor left for a new socket (the capture takes its own first): creation fails
  // with EMFILE. The old socket is closed only after the new one was tried.
  ::testing::internal::CaptureStdout();
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const int lowest_free = dup(0);
  close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  setrlimit(RLIMIT_NOFILE, &tight);
  netcfg("", 0);
  setrlimit(RLIMIT_NOFILE, &saved);
  fflush(stdout);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find(" error! error code is " + std::to_string(EMFILE) + "\n"))
      << out;

  const uint8_t data[2] = {1, 2};
  int result = 0;
  const std::string later = captured_stdout_of([&] { result = udp_send("127.0.0.1", 9, data, 2); });
  EXPECT_EQ(-1, result);
  EXPECT_EQ("", later);
  // A later netcfg makes a socket again and sends.
  netcfg("127.0.0.1", receiver.port());
  EXPECT_EQ(0, udp_send("127.0.0.1", receiver.port(), data, 2));
  EXPECT_EQ((std::vector<uint8_t>{1, 2}), receiver.next());
}

}  // namespace
