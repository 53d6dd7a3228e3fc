// The device-state script functions over a scripted host keyboard: which key codes they
// ask for, what they return, and how WaitKey polls.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "command/frame.h"
#include "command_capture.h"
#include "platform/key_state.h"
#include "script_state.h"
#include "tapline.h"

namespace {

using tapline::platform::kKeyHeld;
using tapline::platform::kKeyToggled;
using tapline::testing::CommandCapture;
using tapline::testing::ScriptState;

// A host keyboard whose keys hold given states; a key may go down after some reads.
class ScriptedKeys final : public tapline::platform::KeyStateSource {
 public:
  int16_t state(int virtual_key) override {
    asked.push_back(virtual_key);
    const auto down = held_after.find(virtual_key);
    if (down != held_after.end() && reads_of(virtual_key) > down->second) return kKeyHeld;
    const auto fixed = states.find(virtual_key);
    return fixed == states.end() ? 0 : fixed->second;
  }
  bool can_be_held(int virtual_key) override { return virtual_key != 0; }

  int reads_of(int virtual_key) const {
    int count = 0;
    for (int code : asked) count += code == virtual_key;
    return count;
  }

  std::map<int, int16_t> states;
  std::map<int, int> held_after;  // code -> number of reads that still see it up
  std::vector<int> asked;
};

class DeviceState : public ::testing::Test {
 protected:
  void SetUp() override { tapline::platform::set_key_state(&keys_); }
  void TearDown() override {
    tapline::platform::set_key_state(nullptr);
    set_channel(1);
  }

  // The pauses since the last call.
  std::vector<std::string> sleeps() {
    std::vector<std::string> result;
    for (const std::string& line : capture_.take())
      if (line.rfind("sleep ", 0) == 0) result.push_back(line);
    return result;
  }

  ScriptedKeys keys_;
  CommandCapture capture_;
  ScriptState script_;
};

TEST_F(DeviceState, GetKeyStateSignExtendsTheState) {
  keys_.states[0x41] = kKeyHeld | kKeyToggled;
  keys_.states[0x14] = kKeyToggled;
  EXPECT_EQ(script_.integer("GetKeyState(65)"), -127);
  EXPECT_EQ(script_.integer("GetKeyState('65')"), -127);
  EXPECT_EQ(script_.integer("GetKeyState(65.9)"), -127);
  EXPECT_EQ(script_.integer("GetKeyState(0x14)"), 1);
  EXPECT_EQ(script_.integer("GetKeyState(66)"), 0);
  EXPECT_EQ(keys_.asked, (std::vector<int>{0x41, 0x41, 0x41, 0x14, 0x42}));
  // Anything that is not a number asks for code 0.
  keys_.asked.clear();
  script_.run("GetKeyState('A') GetKeyState() GetKeyState({})");
  EXPECT_EQ(keys_.asked, (std::vector<int>{0, 0, 0}));
  // A code beyond 32 bits names no key; its low bits are not the A key.
  keys_.asked.clear();
  EXPECT_EQ(script_.integer("GetKeyState(2^32 + 65)"), 0);
  EXPECT_EQ(keys_.asked, std::vector<int>{-1});
}

TEST_F(DeviceState, GetLEDReadsCapsLockForIndexZeroToTwo) {
  keys_.states[0x14] = kKeyToggled;
  for (const char* index : {"0", "1", "2", "1.9", "'2'", "'x'", ""})
    EXPECT_EQ(script_.integer(std::string("GetLED(") + index + ")"), 1) << index;
  EXPECT_EQ(keys_.reads_of(0x14), 7);
  keys_.states[0x14] = kKeyHeld;
  EXPECT_EQ(script_.integer("GetLED(0)"), -128);
  keys_.asked.clear();
  EXPECT_EQ(script_.integer("GetLED(3)"), -1);
  EXPECT_EQ(script_.integer("GetLED(-1)"), -1);
  EXPECT_TRUE(keys_.asked.empty());
  EXPECT_EQ(script_.integer("GetLED(-0.5)"), -128);  // cut toward zero: index 0
  // Indexes beyond 32 bits are other indexes, not their low bits.
  EXPECT_EQ(script_.integer("GetLED(2^32)"), -1);
  EXPECT_EQ(script_.integer("GetLED(2^32 + 1)"), -1);
  EXPECT_EQ(script_.integer("GetLED(-2^32)"), -1);
}

TEST_F(DeviceState, WaitKeyResolvesNumbersAndNames) {
  for (int code : {0x41, 0x0D, 65 + 256, 0x7B}) keys_.states[code] = kKeyHeld;
  const std::pair<const char*, int> keys[] = {
      {"'a'", 0x41},  {"'A'", 0x41},       {"65", 0x41},    {"'65'", 0x41},
      {"65.7", 0x41}, {"' Enter '", 0x0D}, {"'f12'", 0x7B}, {"321", 321},
  };
  for (const auto& [key, code] : keys) {
    keys_.asked.clear();
    EXPECT_EQ(script_.integer(std::string("WaitKey(") + key + ")"), 1) << key;
    EXPECT_EQ(keys_.asked, std::vector<int>{code}) << key;
  }
  EXPECT_TRUE(sleeps().empty());
}

TEST_F(DeviceState, WaitKeyWaitsUntilTheKeyGoesDown) {
  keys_.held_after[0x41] = 3;
  EXPECT_EQ(script_.integer("WaitKey('a')"), 1);
  EXPECT_EQ(keys_.reads_of(0x41), 4);
  EXPECT_EQ(sleeps(), (std::vector<std::string>{"sleep 10", "sleep 10", "sleep 10"}));
}

TEST_F(DeviceState, WaitKeyTimeOutCountsPolls) {
  // 35 ms: polls at 10, 20, 30 and 40 with three pauses between them.
  EXPECT_EQ(script_.integer("WaitKey('a', 35)"), 0);
  EXPECT_EQ(keys_.reads_of(0x41), 4);
  EXPECT_EQ(sleeps(), (std::vector<std::string>{"sleep 10", "sleep 10", "sleep 10"}));

  keys_.asked.clear();
  EXPECT_EQ(script_.integer("WaitKey('a', '10')"), 0);  // one poll, no pause
  EXPECT_EQ(keys_.asked.size(), 1u);
  EXPECT_TRUE(sleeps().empty());

  keys_.asked.clear();
  EXPECT_EQ(script_.integer("WaitKey('a', 1)"), 0);
  EXPECT_EQ(keys_.asked.size(), 1u);

  // A time-out beyond 32 bits is a long wait, not its low bits (10: one poll).
  keys_.asked.clear();
  keys_.held_after[0x43] = 3;
  EXPECT_EQ(script_.integer("WaitKey('C', 2^32 + 10)"), 1);
  EXPECT_EQ(keys_.reads_of(0x43), 4);
  sleeps();

  // The key goes down before the time-out runs out.
  keys_.asked.clear();
  keys_.held_after[0x42] = 2;
  EXPECT_EQ(script_.integer("WaitKey('B', 1000)"), 1);
  EXPECT_EQ(keys_.reads_of(0x42), 3);
}

TEST_F(DeviceState, WaitKeyOnAKeyThatCannotBeHeld) {
  // A name with no row waits on code 0: with a time-out it polls that long ...
  EXPECT_EQ(script_.integer("WaitKey('NoSuchKey', 30)"), 0);
  EXPECT_EQ(keys_.asked, (std::vector<int>{0, 0, 0}));
  // ... and without one it returns at once instead of waiting for ever.
  keys_.asked.clear();
  sleeps();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(script_.integer("WaitKey('NoSuchKey')"), 0);
  EXPECT_EQ(script_.integer("WaitKey({}, 0)"), 0);
  EXPECT_EQ(script_.integer("WaitKey(0, -5)"), 0);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("WaitKey"), std::string::npos);
  EXPECT_TRUE(keys_.asked.empty());
  EXPECT_TRUE(sleeps().empty());
}

TEST_F(DeviceState, TimeStampIsTheUnsignedTickCount) {
  capture_.clock.set_tick(4294967295u);
  EXPECT_EQ(script_.integer("GetTimeStamp()"), 4294967295);
  capture_.clock.set_tick(12345);
  EXPECT_EQ(script_.integer("GetTimeStamp(1, 2, 3)"), 12345);
}

TEST_F(DeviceState, DeviceIdIsZero) { EXPECT_EQ(script_.integer("GetDeviceID()"), 0); }

TEST_F(DeviceState, SetChannelByName) {
  const auto type_byte_after = [this](const char* call) {
    script_.run(call);
    capture_.take();
    kb_release();
    return capture_.frames().at(0)[3];
  };
  EXPECT_EQ(type_byte_after("set_channel('usb')"), 0x81);
  EXPECT_EQ(tapline::output_channel(), 2);
  EXPECT_EQ(type_byte_after("set_channel('BLE')"), 0x41);
  EXPECT_EQ(tapline::output_channel(), 1);
  EXPECT_EQ(type_byte_after("set_channel('USB')"), 0x81);
  // Not trimmed, no partial matches, nothing for other values: the channel stays.
  for (const char* call :
       {"set_channel(' USB')", "set_channel('USB ')", "set_channel('US')", "set_channel('bl')",
        "set_channel()", "set_channel(1)", "set_channel('USBX')"})
    EXPECT_EQ(type_byte_after(call), 0x81) << call;
  EXPECT_EQ(script_.result_count("set_channel('usb')"), 0);
}

TEST_F(DeviceState, HidCmdRunsTheTextCommand) {
  EXPECT_EQ(script_.integer("hid_cmd('mouse:leftclick')"), 1);
  EXPECT_EQ(capture_.take(), (std::vector<std::string>{"Mouse 01 00 00 00 00 00 00", "sleep 2",
                                                       "Mouse 00 00 00 00 00 00 00"}));
  EXPECT_EQ(script_.integer("hid_cmd('no colon')"), 0);
  EXPECT_EQ(script_.integer("hid_cmd()"), 0);
  EXPECT_EQ(script_.integer("hid_cmd(12)"), 0);
  EXPECT_EQ(script_.integer("hid_cmd('consumer:powerdown')"), 0);
  EXPECT_EQ(capture_.take(), std::vector<std::string>{"SystemControl 01 00 00 00 00 00 00"});
}

}  // namespace
