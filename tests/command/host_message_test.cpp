#include "command/host_message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "tapline.h"

namespace {

using namespace std::chrono_literals;

std::mutex received_lock;
std::vector<std::string> received;
std::vector<unsigned> messages;

void host_window(unsigned message, uintptr_t wparam, char* text) {
  std::lock_guard guard(received_lock);
  messages.push_back(message);
  EXPECT_EQ(0u, wparam);
  received.emplace_back(text);
  std::free(text);  // the receiver owns the copy
}

class HostMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    received.clear();
    messages.clear();
    set_apphandle(host_window);
  }
  void TearDown() override {
    tapline::flush_host_messages(5s);
    set_apphandle(nullptr);
  }
  std::vector<std::string> wait_for_texts() {
    EXPECT_TRUE(tapline::flush_host_messages(5s));
    std::lock_guard guard(received_lock);
    return received;
  }
};

TEST_F(HostMessageTest, TextsArriveInPostingOrderAsMessage1124) {
  for (int i = 0; i < 500; ++i) tapline::host_printf("line %d\n", i);
  const auto texts = wait_for_texts();
  ASSERT_EQ(500u, texts.size());
  for (int i = 0; i < 500; ++i) EXPECT_EQ("line " + std::to_string(i) + "\n", texts[i]);
  for (unsigned message : messages) EXPECT_EQ(1124u, message);
}

TEST_F(HostMessageTest, SetChannelTellsTheHost) {
  set_channel(1);
  set_channel(2);
  set_channel(0);
  set_channel(1);
  const auto texts = wait_for_texts();
  ASSERT_EQ(4u, texts.size());
  EXPECT_EQ("set_channel：ble\n", texts[0]);
  EXPECT_EQ("set_channel：usb\n", texts[1]);
  EXPECT_EQ("set_channel：usb\n", texts[2]);
  EXPECT_EQ("set_channel：ble\n", texts[3]);
}

TEST_F(HostMessageTest, PostingCopiesTheText) {
  char text[] = "original";
  tapline::post_to_host(text);
  text[0] = 'X';
  const auto texts = wait_for_texts();
  ASSERT_EQ(1u, texts.size());
  EXPECT_EQ("original", texts[0]);
}

TEST(HostMessageWithoutWindow, TextsAreDropped) {
  set_apphandle(nullptr);
  received.clear();
  tapline::post_to_host("dropped");
  EXPECT_EQ(1, set_channel(1));
  EXPECT_TRUE(tapline::flush_host_messages(5s));
  EXPECT_TRUE(received.empty());
}

std::string format(const char* fmt, ...) {
  char out[1024];
  va_list args;
  va_start(args, fmt);
  tapline::host_vformat(out, sizeof out, fmt, args);
  va_end(args);
  return out;
}

TEST(HostFormatter, IntegerCharacterAndStringConversions) {
  EXPECT_EQ("-42 42 ff FF 7", format("%d %u %x %X %i", -42, 42u, 255u, 255u, 7));
  EXPECT_EQ("[   42] [42   ] [00042]", format("[%5d] [%-5d] [%05d]", 42, 42, 42));
  EXPECT_EQ("a ab [  x]", format("%c %s [%3s]", 'a', "ab", "x"));
  EXPECT_EQ("100% 12", format("100%% %ld", 12L));
  EXPECT_EQ("(null)", format("%s", static_cast<const char*>(nullptr)));
}

TEST(HostFormatter, NoFloatingPointOrPointerConversions) {
  // The conversion character stands for itself and consumes no value.
  EXPECT_EQ("f 5", format("%f %d", 5));
  EXPECT_EQ("p", format("%p"));
}

TEST(HostFormatter, OutputIsCutAt1023Characters) {
  const std::string long_text(3000, 'x');
  const std::string out = format("%s\r\n", long_text.c_str());
  EXPECT_EQ(1023u, out.size());
  EXPECT_EQ(std::string(1023, 'x'), out);
  EXPECT_EQ(1023u, format("ab%s%d", long_text.c_str(), 5).size());
}

}  // namespace
