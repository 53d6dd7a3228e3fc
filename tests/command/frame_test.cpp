#include "command/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <vector>

#include "command_capture.h"

namespace {

using Frame = std::vector<uint8_t>;

// Frame bytes from text such as "2C 08 41 41 00": the expected frames are written out by
// hand, independently of any encoder or decoder.
Frame hex_frame(const char* text) {
  Frame bytes;
  char* end = nullptr;
  for (const char* p = text; *p; p = end) {
    const unsigned long value = std::strtoul(p, &end, 16);
    if (end == p) break;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override { set_channel(1); }
  void TearDown() override { set_channel(1); }
  tapline::testing::CommandCapture recorder;
};

const std::array<uint8_t, 8> kAllKeysUp{};

TEST_F(FrameTest, WorkedFramesByteForByte) {
  std::array<uint8_t, 8> key_a{0, 0, 0x04, 0, 0, 0, 0, 0};
  const std::array<uint8_t, 7> consumer_e9{0xE9, 0, 0, 0, 0, 0, 0};
  std::array<uint8_t, 16> device_command{0xF3, 0x0C};

  EXPECT_EQ(1, makeHid(1, kAllKeysUp.data(), 8));
  EXPECT_EQ(1, makeHid(1, key_a.data(), 8));
  EXPECT_EQ(1, makeHid(2, consumer_e9.data(), 7));
  EXPECT_EQ(1, makeHid(8, device_command.data(), 16));
  set_channel(0);
  EXPECT_EQ(1, makeHid(1, kAllKeysUp.data(), 8));

  ASSERT_EQ(5u, recorder.frames().size());
  EXPECT_EQ(hex_frame("2C 08 41 41 00 00 00 00 00 00 00 00"), recorder.frames()[0]);
  EXPECT_EQ(hex_frame("2C 08 45 41 00 00 04 00 00 00 00 00"), recorder.frames()[1]);
  EXPECT_EQ(hex_frame("2C 07 2B 42 E9 00 00 00 00 00 00"), recorder.frames()[2]);
  Frame expected_command = hex_frame("2C 10 47 48 F3 0C");
  expected_command.resize(20, 0);
  EXPECT_EQ(expected_command, recorder.frames()[3]);
  EXPECT_EQ(hex_frame("2C 08 01 01 00 00 00 00 00 00 00 00"), recorder.frames()[4]);
}

TEST_F(FrameTest, ChannelFillsTheTwoHighBitsOfTheTypeByte) {
  const struct {
    int channel;
    int stored;
    uint8_t type_byte;
  } cases[] = {{0, 0, 0x01}, {1, 1, 0x41}, {2, 2, 0x81},
               {3, 3, 0xC1}, {5, 5, 0x41}, {258, 2, 0x81}};
  for (const auto& c : cases) {
    recorder.take();
    EXPECT_EQ(c.stored, set_channel(c.channel));
    makeHid(1, kAllKeysUp.data(), 8);
    ASSERT_EQ(1u, recorder.frames().size());
    EXPECT_EQ(c.type_byte, recorder.frames()[0][3]) << "channel " << c.channel;
    EXPECT_EQ(c.type_byte, recorder.frames()[0][2]) << "checksum of an all-zero report";
  }
}

TEST_F(FrameTest, ReportTypeKeepsOnlyItsFiveBits) {
  makeHid(0xE7, kAllKeysUp.data(), 6);
  ASSERT_EQ(1u, recorder.frames().size());
  EXPECT_EQ(0x47, recorder.frames()[0][3]);
}

TEST_F(FrameTest, ChecksumWrapsModulo256) {
  const std::array<uint8_t, 7> report{0xFF, 0xFF, 0x10, 0, 0, 0, 0};
  makeHid(5, report.data(), 7);
  // 0x45 + 0xFF + 0xFF + 0x10 = 0x253
  EXPECT_EQ(0x53, recorder.frames()[0][2]);
}

TEST(FrameWithoutTransport, NothingIsSentAndTheResultIsZero) {
  set_send_cb(nullptr);
  EXPECT_EQ(0, makeHid(1, kAllKeysUp.data(), 8));
}

TEST_F(FrameTest, SetSendCbReturnsWhatItWasGiven) {
  tapline_send_cb mine = [](const uint8_t*, int) {};
  EXPECT_EQ(mine, set_send_cb(mine));
  EXPECT_EQ(nullptr, set_send_cb(nullptr));
  EXPECT_EQ(0, makeHid(1, kAllKeysUp.data(), 8));
}

TEST_F(FrameTest, ReportsTooLongForTheLengthByteOrMissingAreRefused) {
  std::array<uint8_t, 512> big{};
  EXPECT_EQ(1, makeHid(8, big.data(), 251));
  ASSERT_EQ(1u, recorder.frames().size());
  EXPECT_EQ(255u, recorder.frames()[0].size());
  // Lengths beyond a byte are refused too, not cut to their low 8 bits (300 is not 44).
  for (int length : {252, 253, 254, 255, 256, 300, 511, -1})
    EXPECT_EQ(0, makeHid(8, big.data(), length)) << length;
  EXPECT_EQ(0, makeHid(1, nullptr, 8));
  EXPECT_EQ(1u, recorder.frames().size());
}

}  // namespace
