// The desktop injector against a recording desktop: frames built by the command layer
// itself go through the device's decoder and state, and the calls the injector makes on
// the desktop are compared in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command/frame.h"
#include "command/keyboard.h"
#include "command_capture.h"
#include "core/alt_code.h"
#include "core/device.h"
#include "inject/desktop_injector.h"
#include "tapline.h"

// Last: Xlib's macros clash with names in the headers above.
#include <X11/Xlib.h>

namespace {

using namespace tapline::device;
using tapline::testing::CommandCapture;
using tapline::testing::FixedScreen;
using Events = std::vector<std::string>;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;

class RecordingDesktop final : public InputTarget {
 public:
  void key(Keysym keysym, bool down) override {
    const char* name = XKeysymToString(keysym);
    events.push_back(std::string(down ? "down " : "up ") + (name ? name : "?"));
  }
  void type_character(char32_t character) override {
    char text[16];
    std::snprintf(text, sizeof text, "type U+%04X", static_cast<unsigned>(character));
    events.push_back(text);
  }
  void button(unsigned number, bool down) override {
    events.push_back("button " + std::to_string(number) + (down ? " down" : " up"));
  }
  void move_by(int dx, int dy) override {
    events.push_back("move by " + std::to_string(dx) + " " + std::to_string(dy));
  }
  void move_to(int x, int y) override {
    events.push_back("move to " + std::to_string(x) + " " + std::to_string(y));
  }
  ScreenExtent screen() const override { return {kWidth, kHeight}; }
  void flush() override {}
  void settle() override {
    if (borrowed) events.push_back("settle");
    borrowed = false;
  }
  bool borrowing() const override { return borrowed; }

  Events events;
  bool borrowed = false;
};

class Injection : public ::testing::Test {
 protected:
  Injection() {
    release_command_layer_keys();
    start({});
  }
  ~Injection() override {
    release_command_layer_keys();
    if (log_) std::fclose(log_);
  }

  // The keys the command layer remembers live for the whole process: none left from
  // another test.
  void release_command_layer_keys() {
    key_action(" ", 0);
    quill5_cmd("key:release,all");
    capture_.take();
  }

  void start(const InjectorOptions& options) {
    device_ = std::make_unique<Device>();
    injector_ = std::make_unique<DesktopInjector>(desktop_, options, log_);
    device_->add_sink(*injector_);
  }
  void start_reading(AltCodeReading reading) {
    InjectorOptions options;
    options.alt_codes = reading;
    start(options);
  }

  // Hands what the command layer sent since the last call to the device; returns what
  // the desktop was asked to do.
  Events desktop_events() {
    for (const std::vector<uint8_t>& frame : capture_.frames())
      device_->receive(frame.data(), frame.size(), frame.size(), 0);
    capture_.take();
    Events events = std::move(desktop_.events);
    desktop_.events.clear();
    return events;
  }

  std::string log_text() {
    std::fflush(log_);
    std::rewind(log_);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, log_)) text += buffer;
    return text;
  }

  CommandCapture capture_;  // the clock too: pauses are recorded, not slept
  FixedScreen host_screen_{kWidth, kHeight};
  RecordingDesktop desktop_;
  std::FILE* log_ = std::tmpfile();
  std::unique_ptr<Device> device_;
  std::unique_ptr<DesktopInjector> injector_;
};

TEST_F(Injection, KeysFollowTheReportedState) {
  key_action("LShift", 0);
  key_action("a", 2);
  key_action("LShift", 1);
  EXPECT_EQ(desktop_events(), (Events{"down Shift_L", "down a", "up a", "up Shift_L"}));

  // Modifiers go down before the key and come up after it; Alt with a letter is Alt+a.
  key("a", 0x14, 1);
  EXPECT_EQ(desktop_events(),
            (Events{"down Alt_L", "down Control_R", "down a", "up a", "up Control_R", "up Alt_L"}));
}

TEST_F(Injection, ShiftFlagHoldsShiftForAsLongAsItsKey) {
  key("!", 0, 1);
  EXPECT_EQ(desktop_events(), (Events{"down Shift_L", "down 1", "up 1", "up Shift_L"}));

  // Without release each report replaces the last: the same key, now shifted.
  key("1!", 0, 0);
  kb_release();
  EXPECT_EQ(desktop_events(),
            (Events{"down 1", "up 1", "down Shift_L", "down 1", "up 1", "up Shift_L"}));

  // Shift held by its modifier bit stays down while a shifted key comes and goes.
  key_action("LShift", 0);
  key("@", 0x02, 0);
  key("", 0x02, 0);
  EXPECT_EQ(desktop_events(), (Events{"down Shift_L", "down 2", "up 2"}));
}

TEST_F(Injection, ModifierUsagesInKeySlotsAreModifierKeys) {
  const uint8_t report[8] = {0, 0, 0xE6, 0xE1, 0, 0, 0, 0};  // right Alt, left Shift
  kb(report);
  kb_release();
  EXPECT_EQ(desktop_events(), (Events{"down Alt_R", "down Shift_L", "up Shift_L", "up Alt_R"}));
  EXPECT_EQ(log_text(), "") << "right Alt is not the Power key";
}

TEST_F(Injection, EveryUsageOfTheKeyTablesHasAKeysym) {
  for (const tapline::KeyTableRow& row : tapline::key_table()) {
    if (row.modifier) continue;
    EXPECT_NE(usage_keysym(row.code), 0u) << row.name;
  }
  for (const tapline::SpecialKeyName& name : tapline::special_key_names()) {
    if (name.usage == tapline::kNoUsage) continue;
    EXPECT_NE(usage_keysym(name.usage), 0u) << name.name;
  }
  for (int c = 0; c < 256; ++c) {
    const uint8_t usage = tapline::char_to_usage(static_cast<char>(c));
    if (usage == tapline::kNoUsage) continue;
    EXPECT_NE(usage_keysym(usage), 0u) << c;
  }
}

TEST_F(Injection, GbkCharacterNumbersAreTypedAsTheirCharacters) {
  start_reading(AltCodeReading::Gbk);
  key_gbkstring("A中!");
  EXPECT_EQ(desktop_events(), (Events{"type U+0041", "type U+4E2D", "type U+0021"}));
}

TEST_F(Injection, UnicodeCharacterNumbersJoinSurrogatePairs) {
  start_reading(AltCodeReading::Unicode);
  key_unicodestring("A中\xF0\x9F\x98\x80");
  EXPECT_EQ(desktop_events(), (Events{"type U+0041", "type U+4E2D", "type U+1F600"}));
}

TEST_F(Injection, AutomaticReadingTakesBothKindsOfHost) {
  start_reading(AltCodeReading::Auto);
  key_gbkstring("Hi 中文");
  EXPECT_EQ(desktop_events(),
            (Events{"type U+0048", "type U+0069", "type U+0020", "type U+4E2D", "type U+6587"}));
  key_unicodestring("Hi 中\xF0\x9F\x98\x80");
  EXPECT_EQ(desktop_events(),
            (Events{"type U+0048", "type U+0069", "type U+0020", "type U+4E2D", "type U+1F600"}));
}

TEST_F(Injection, OtherDigitCountsAndOtherKeysPassTheKeysOn) {
  // A plain Alt tap.
  key_action("LAlt", 2);
  EXPECT_EQ(desktop_events(), (Events{"down Alt_L", "up Alt_L"}));

  // Two digits are no character number.
  key_action("LAlt", 0);
  key_action("Num1", 2);
  key_action("Num2", 2);
  key_action("LAlt", 1);
  EXPECT_EQ(desktop_events(),
            (Events{"down Alt_L", "down KP_1", "up KP_1", "down KP_2", "up KP_2", "up Alt_L"}));

  // Alt+Tab after a digit: the withheld keys first, then Tab, in order.
  key_action("LAlt", 0);
  key_action("Num7", 2);
  key_action("Tab", 2);
  key_action("LAlt", 1);
  EXPECT_EQ(desktop_events(),
            (Events{"down Alt_L", "down KP_7", "up KP_7", "down Tab", "up Tab", "up Alt_L"}));

  // A sixth digit: the keys were meant as keys; the sixth stays held until released.
  key_action("LAlt", 0);
  for (const char* digit : {"Num1", "Num2", "Num3", "Num4", "Num5"}) key_action(digit, 2);
  key_action("Num6", 0);
  EXPECT_EQ(desktop_events(),
            (Events{"down Alt_L", "down KP_1", "up KP_1", "down KP_2", "up KP_2", "down KP_3",
                    "up KP_3", "down KP_4", "up KP_4", "down KP_5", "up KP_5", "down KP_6"}));
  key_action("", 0);
  EXPECT_EQ(desktop_events(), (Events{"up KP_6", "up Alt_L"}));
}

TEST_F(Injection, ADigitHeldPastAltIsNotTypedAfterwards) {
  key_action("LAlt", 0);
  for (const char* digit : {"Num0", "Num0", "Num0", "Num6"}) key_action(digit, 2);
  key_action("Num5", 0);
  key_action("LAlt", 1);  // Alt up with the last digit still down
  key_action("Num5", 1);
  key_action("x", 2);
  EXPECT_EQ(desktop_events(), (Events{"type U+0041", "down x", "up x"}));
}

TEST_F(Injection, MouseButtonsMovesAndWheel) {
  left_click();
  right_click();
  middle_click();
  move(5, -3);
  wheel(1);
  wheel(-2);
  EXPECT_EQ(desktop_events(),
            (Events{"button 1 down", "button 1 up", "button 3 down", "button 3 up", "button 2 down",
                    "button 2 up", "move by 5 -3", "button 4 down", "button 4 up", "button 5 down",
                    "button 5 up", "button 5 down", "button 5 up"}));

  quill5_cmd("mouse:leftdown");
  quill5_cmd("mouse:move,10,0");
  quill5_cmd("mouse:leftup");
  EXPECT_EQ(desktop_events(), (Events{"button 1 down", "move by 10 0", "button 1 up"}));
}

TEST_F(Injection, AbsolutePositionsComeBackAsThePixelsTheHostMeant) {
  absmove(100, 50);
  absmove(kWidth - 1, kHeight - 1);
  EXPECT_EQ(desktop_events(), (Events{"move to 100 50", "move to 1023 767"}));

  // Every pixel of many screen widths, through the host's single-precision scaling.
  for (const int extent : {640, 800, 1023, 1366, 1920, 2560, 3840, 4095}) {
    const float factor = 4095.0f / static_cast<float>(extent);
    int wrong = 0;
    for (int pixel = 0; pixel < extent; ++pixel) {
      const auto position = static_cast<uint32_t>(static_cast<float>(pixel) * factor);
      if (absolute_to_pixel(position, extent) != pixel) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "width " << extent;
  }
  // Beyond the screen (the host does not clamp): the last pixel.
  EXPECT_EQ(absolute_to_pixel(5000, 800), 799);
}

TEST_F(Injection, TouchContactZeroIsThePointerWithTheLeftButton) {
  touch_set(kWidth, kHeight);
  touch_slide(100, 100, 300, 100, 0);
  EXPECT_EQ(desktop_events(), (Events{"move to 100 100", "button 1 down", "move to 150 100",
                                      "move to 200 100", "move to 250 100", "button 1 up"}));

  // The second finger is shown by the printers but not injected.
  touch(1, 1, 10, 10);
  touch_release(1);
  EXPECT_EQ(desktop_events(), Events{});
  EXPECT_NE(log_text().find("touch contact 1"), std::string::npos);
}

TEST_F(Injection, ConsumerKeysArriveAsMediaKeys) {
  vol_up();
  quill5_cmd("consumer:stop");
  android_back();
  EXPECT_EQ(desktop_events(),
            (Events{"down XF86AudioRaiseVolume", "up XF86AudioRaiseVolume", "down XF86AudioStop",
                    "up XF86AudioStop", "down XF86Back", "up XF86Back"}));
}

TEST_F(Injection, PowerRequestsAndDeviceCommandsAreOnlyLogged) {
  power_down();
  power_sleep();
  reboot();
  key("Power", 0, 1);
  EXPECT_EQ(desktop_events(), Events{});
  const std::string log = log_text();
  EXPECT_NE(log.find("system request 1 (power down) logged, not carried out"), std::string::npos)
      << log;
  EXPECT_NE(log.find("system request 2 (sleep)"), std::string::npos) << log;
  EXPECT_NE(log.find("device command f1 0e (reboot) logged"), std::string::npos) << log;
  EXPECT_NE(log.find("the Power key is logged"), std::string::npos) << log;
}

TEST_F(Injection, OnlyTheDesktopsChannelIsInjected) {
  set_channel(2);
  key_action("a", 2);
  left_click();
  set_channel(1);
  EXPECT_EQ(desktop_events(), Events{});

  InjectorOptions options;
  options.channel = 2;
  start(options);
  set_channel(2);
  key_action("a", 2);
  set_channel(1);
  EXPECT_EQ(desktop_events(), (Events{"down a", "up a"}));
}

TEST_F(Injection, TheEndReleasesEverythingStillHeld) {
  key_action("LCtrl", 0);
  key_action("a", 0);
  mouse(1, 0, 0, 0);
  vol_up();  // released by the host: not held at the end
  desktop_events();
  desktop_.borrowed = true;
  device_->finish();
  EXPECT_EQ(desktop_.events, (Events{"up a", "up Control_L", "button 1 up", "settle"}));
}

TEST_F(Injection, ASilenceReleasesWhatIsHeldUntilTheHostLetsGo) {
  InjectorOptions options;
  options.release_after_ms = 500;
  start(options);
  EXPECT_EQ(injector_->idle_timeout_ms(), -1) << "nothing held: no reason to wake";

  key_action("a", 0);
  mouse(1, 0, 0, 0);
  desktop_events();
  EXPECT_EQ(device_->idle_timeout_ms(), 500);
  tapline::system::sleep_ms(200);  // the recorded clock moves on
  EXPECT_EQ(device_->idle_timeout_ms(), 300);
  tapline::system::sleep_ms(300);
  device_->idle();
  EXPECT_EQ(desktop_.events, (Events{"up a", "button 1 up"}));
  EXPECT_NE(log_text().find("released everything held"), std::string::npos);
  desktop_.events.clear();
  EXPECT_EQ(device_->idle_timeout_ms(), -1);

  // The host still holds a and the button: they stay up until it lets go of them.
  key_action("b", 0);
  mouse(1, 5, 0, 0);
  key_action("a", 1);
  key_action("b", 1);
  mouse(0, 0, 0, 0);
  key_action("a", 2);
  left_click();
  EXPECT_EQ(desktop_events(), (Events{"down b", "move by 5 0", "up b", "down a", "up a",
                                      "button 1 down", "button 1 up"}));
}

TEST_F(Injection, BorrowedKeycodesAreGivenBackAfterASilence) {
  key_gbkstring("中");
  desktop_events();
  desktop_.borrowed = true;
  EXPECT_EQ(device_->idle_timeout_ms(), static_cast<int>(kSettleAfterMs));
  tapline::system::sleep_ms(kSettleAfterMs);
  device_->idle();
  EXPECT_EQ(desktop_.events, Events{"settle"});
  EXPECT_EQ(device_->idle_timeout_ms(), -1);
}

TEST(AltCodeNumbers, GbkCodes) {
  AltCodeDecoder gbk(AltCodeReading::Gbk);
  EXPECT_EQ(gbk.decode(45217), U'啊');  // B0 A1
  EXPECT_EQ(gbk.decode(16640), U'A');   // 'A' x 256
  EXPECT_EQ(gbk.decode(0x8000), U'€');  // the one-byte euro sign of code page 936
  EXPECT_EQ(gbk.decode(0xD6D0), U'中');
  EXPECT_EQ(gbk.decode(0x4142), 0u) << "two one-byte characters are no code";
  EXPECT_EQ(gbk.decode(0xA2E3), 0u) << "a double-byte code GBK leaves unassigned";
  EXPECT_EQ(gbk.decode(0x0041), 0u) << "no lead byte";
  EXPECT_EQ(gbk.decode(70000), 0u) << "more than 16 bits";
}

TEST(AltCodeNumbers, Utf16Units) {
  AltCodeDecoder unicode(AltCodeReading::Unicode);
  EXPECT_EQ(unicode.decode(0x4E00), U'一');
  EXPECT_EQ(unicode.decode(0xD83D), 0u);
  EXPECT_TRUE(unicode.waiting());
  EXPECT_EQ(unicode.decode(0xDE00), U'\U0001F600');
  EXPECT_EQ(unicode.decode(0xDE00), 0u) << "a low surrogate alone";
  EXPECT_EQ(unicode.decode(0xD83D), 0u);
  EXPECT_EQ(unicode.decode(0x0041), U'A') << "the lone high half is dropped";
  EXPECT_FALSE(unicode.waiting());
}

TEST(AltCodeNumbers, AutomaticReadingAndItsDocumentedOverlap) {
  AltCodeDecoder automatic(AltCodeReading::Auto);
  EXPECT_EQ(automatic.decode(16640), U'A');
  EXPECT_EQ(automatic.decode(45217), U'啊');
  EXPECT_EQ(automatic.decode(0x0041), U'A');
  EXPECT_EQ(automatic.decode(0x4E2D), U'中');
  // A low surrogate right after a high one is UTF-16, though DC41 is also a GBK code.
  EXPECT_EQ(automatic.decode(0xD83D), 0u);
  EXPECT_EQ(automatic.decode(0xDC41), U'\U0001F441');
  // The overlap: these UTF-16 units are also GBK codes and come out as GBK.
  EXPECT_EQ(automatic.decode(0x4E00), U'N');
  EXPECT_NE(automatic.decode(0x9A6C), U'马');
}

}  // namespace
