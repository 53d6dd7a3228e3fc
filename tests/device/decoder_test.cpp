// The software device's decoding, state and output, fed with frames that the command
// layer itself builds (makeHid through a capturing send callback) and with malformed
// datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "command/frame.h"
#include "command_capture.h"
#include "core/device.h"
#include "core/frame_decoder.h"
#include "core/usage_names.h"
#include "print/print_sinks.h"

namespace {

using namespace tapline;
using namespace tapline::device;

// The frame that makeHid builds for the report, on the given channel.
std::vector<uint8_t> build_frame(ReportType type, std::vector<uint8_t> report, int channel = 1) {
  tapline::testing::CommandCapture capture;
  set_channel(channel);
  EXPECT_EQ(1, send_report(type, report.data(), report.size()));
  set_channel(1);
  return capture.frames().at(0);
}

Frame decode_good(const std::vector<uint8_t>& datagram) {
  const DecodeResult result = decode_datagram(datagram.data(), datagram.size());
  EXPECT_TRUE(result.ok) << result.detail.data();
  return result.frame;
}

DecodeResult decode_bad(const std::vector<uint8_t>& datagram) {
  const DecodeResult result = decode_datagram(datagram.data(), datagram.size());
  EXPECT_FALSE(result.ok);
  EXPECT_NE('\0', result.detail[0]) << "every fault says what was wrong";
  return result;
}

TEST(DeviceDecoder, DecodesEveryReportTypeBuiltByTheCommandLayer) {
  const Frame keyboard =
      decode_good(build_frame(ReportType::Keyboard, {0x22, 0, 0x04, 0x9E, 0xE1, 0, 0, 0x28}));
  EXPECT_EQ(ReportType::Keyboard, keyboard.type);
  EXPECT_EQ(1, keyboard.channel);
  const auto& keys = std::get<KeyboardFields>(keyboard.fields);
  EXPECT_EQ(0x22, keys.modifiers);
  EXPECT_EQ((std::array<uint8_t, 6>{0x04, 0x9E, 0xE1, 0, 0, 0x28}), keys.keys);

  const Frame mouse =
      decode_good(build_frame(ReportType::Mouse, {0x05, 0xFF, 0x2C, 0xFE, 0, 0, 0}));
  const auto& m = std::get<MouseFields>(mouse.fields);
  EXPECT_EQ(0x05, m.buttons);
  EXPECT_EQ(-1, m.wheel);
  EXPECT_EQ(44, m.dx);
  EXPECT_EQ(-2, m.dy);

  const Frame absolute =
      decode_good(build_frame(ReportType::AbsoluteMouse, {0x02, 0x01, 0xFF, 0x0F, 0x34, 0x02, 0}));
  const auto& a = std::get<AbsoluteMouseFields>(absolute.fields);
  EXPECT_EQ(0x02, a.buttons);
  EXPECT_EQ(1, a.wheel);
  EXPECT_EQ(4095, a.x);
  EXPECT_EQ(0x0234, a.y);

  const Frame joystick =
      decode_good(build_frame(ReportType::Joystick, {0x03, 0x80, 0, 0, 0, 0, 0}));
  EXPECT_EQ(0x8003, std::get<JoystickFields>(joystick.fields).buttons);

  const Frame consumer =
      decode_good(build_frame(ReportType::Consumer, {0x23, 0x02, 0, 0, 0, 0, 0}));
  EXPECT_EQ(0x0223, std::get<ConsumerFields>(consumer.fields).usage);

  const Frame power = decode_good(build_frame(ReportType::SystemControl, {2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(2, std::get<SystemControlFields>(power.fields).request);

  const Frame touch = decode_good(build_frame(ReportType::Touch, {1, 1, 0xFF, 0x07, 0x00, 0x10}));
  const auto& t = std::get<TouchFields>(touch.fields);
  EXPECT_EQ(1, t.state);
  EXPECT_EQ(1, t.contact);
  EXPECT_EQ(2047, t.x);
  EXPECT_EQ(4096, t.y);

  std::vector<uint8_t> reboot(16, 0);
  reboot[0] = 0xF1;
  reboot[1] = 0x0E;
  const Frame command = decode_good(build_frame(ReportType::DeviceCommand, reboot));
  EXPECT_EQ(16, command.report_length);
  EXPECT_EQ(0xF1, std::get<DeviceCommandFields>(command.fields).command);
  EXPECT_EQ(0x0E, std::get<DeviceCommandFields>(command.fields).complement);
  EXPECT_STREQ("reboot", device_command_name(0xF1, 0x0E));
}

TEST(DeviceDecoder, KeepsTheReportBytesAndTypeByteExactly) {
  const std::vector<uint8_t> report{0x01, 0x00, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  const std::vector<uint8_t> datagram = build_frame(ReportType::Keyboard, report);
  const Frame frame = decode_good(datagram);
  EXPECT_EQ(0x41, frame.type_byte);
  ASSERT_EQ(report.size(), frame.report_length);
  EXPECT_TRUE(std::equal(report.begin(), report.end(), frame.report.begin()));
}

TEST(DeviceDecoder, ReadsTheChannelFromTheTopBitsOfTheTypeByte) {
  for (int channel : {0, 1, 2, 3, 5}) {
    const Frame frame =
        decode_good(build_frame(ReportType::Consumer, std::vector<uint8_t>(7, 0), channel));
    EXPECT_EQ(channel & 3, frame.channel) << "channel " << channel;
    EXPECT_EQ(ReportType::Consumer, frame.type);
  }
}

TEST(DeviceDecoder, AcceptsTheWorkedFramesOfTheWireFormat) {
  const Frame held = decode_good({0x2C, 0x08, 0x45, 0x41, 0, 0, 0x04, 0, 0, 0, 0, 0});
  EXPECT_EQ(0x04, std::get<KeyboardFields>(held.fields).keys[0]);
  const Frame channel0 = decode_good({0x2C, 0x08, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(0, channel0.channel);
  const Frame volume = decode_good({0x2C, 0x07, 0x2B, 0x42, 0xE9, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(0x00E9, std::get<ConsumerFields>(volume.fields).usage);
  const Frame touch = decode_good({0x2C, 0x06, 0x54, 0x47, 0x01, 0x00, 0xFF, 0x07, 0xFF, 0x07});
  EXPECT_EQ(2047, std::get<TouchFields>(touch.fields).y);
}

TEST(DeviceDecoder, GivesOneReasonForEachKindOfMalformedDatagram) {
  const std::vector<uint8_t> good = build_frame(ReportType::Keyboard, std::vector<uint8_t>(8, 0));

  for (size_t size : {0u, 1u, 3u}) {
    const std::vector<uint8_t> head(good.begin(), good.begin() + size);
    EXPECT_EQ(FrameFault::Short, decode_bad(head).fault) << size << " bytes";
  }

  std::vector<uint8_t> header = good;
  header[0] = 0x2D;
  EXPECT_EQ(FrameFault::WrongHeader, decode_bad(header).fault);

  std::vector<uint8_t> truncated(good.begin(), good.end() - 1);  // length byte still says 8
  EXPECT_EQ(FrameFault::WrongLength, decode_bad(truncated).fault);
  std::vector<uint8_t> padded = good;
  padded.push_back(0);
  EXPECT_EQ(FrameFault::WrongLength, decode_bad(padded).fault);

  std::vector<uint8_t> checksum = good;
  checksum[2] ^= 0x01;
  EXPECT_EQ(FrameFault::BadChecksum, decode_bad(checksum).fault);
  std::vector<uint8_t> report_changed = good;
  report_changed[5] = 0x04;  // checksum no longer covers the report
  EXPECT_EQ(FrameFault::BadChecksum, decode_bad(report_changed).fault);

  // Unknown codes, and bit 5 which no sender sets, with checksums that are right.
  for (int code : {0, 9, 31, 0x20 | 1}) {
    std::vector<uint8_t> unknown = good;
    unknown[3] = static_cast<uint8_t>(0x40 | code);
    unknown[2] = unknown[3];
    const DecodeResult result = decode_bad(unknown);
    EXPECT_EQ(FrameFault::UnknownType, result.fault) << "code " << code;
  }

  // A keyboard report of 7 bytes with a consistent length and checksum.
  std::vector<uint8_t> short_report{0x2C, 0x07, 0x41, 0x41, 0, 0, 0, 0, 0, 0, 0};
  const DecodeResult wrong_report = decode_bad(short_report);
  EXPECT_EQ(FrameFault::WrongReportLength, wrong_report.fault);
  EXPECT_NE(nullptr, std::strstr(wrong_report.detail.data(), "Keyboard"));
  EXPECT_NE(nullptr, std::strstr(wrong_report.detail.data(), "8"));
}

TEST(DeviceDecoder, ReportsTheFirstFailingCheckOnly) {
  // Wrong header, wrong length and bad checksum at once: the header is named.
  EXPECT_EQ(FrameFault::WrongHeader, decode_bad({0x00, 0x09, 0x00, 0x41, 1, 2}).fault);
  // Wrong length and bad checksum: the length is named.
  EXPECT_EQ(FrameFault::WrongLength, decode_bad({0x2C, 0x09, 0x00, 0x41, 1, 2}).fault);
  EXPECT_EQ("bad checksum", std::string(fault_name(FrameFault::BadChecksum)));
}

TEST(DeviceDecoder, JudgesADatagramLongerThanItsBufferByItsTrueLength) {
  std::vector<uint8_t> kept(kLongestFrame, 0);
  kept[0] = kFrameHeader;
  kept[1] = 0xFF;
  const DecodeResult result = decode_datagram(kept.data(), 70000);
  ASSERT_FALSE(result.ok);
  EXPECT_EQ(FrameFault::WrongLength, result.fault);
  EXPECT_NE(nullptr, std::strstr(result.detail.data(), "69996")) << result.detail.data();
}

TEST(DeviceNames, NamesKeysAsUsersTypeThem) {
  EXPECT_STREQ("a", key_label(0x04).c_str());
  EXPECT_STREQ("0", key_label(0x27).c_str());
  EXPECT_STREQ("Enter", key_label(0x28).c_str());
  EXPECT_STREQ("F9", key_label(0x42).c_str());
  EXPECT_STREQ("PageDn", key_label(0x4E).c_str());
  EXPECT_STREQ("Num1", key_label(0x59).c_str());
  EXPECT_STREQ("Num0", key_label(0x62).c_str());
  EXPECT_STREQ("D_Enter", key_label(0x58).c_str());
  EXPECT_STREQ("RWIN", key_label(0xE7).c_str());
  EXPECT_STREQ("0x03", key_label(0x03).c_str());
}

TEST(DeviceNames, ShowsShiftFlagValuesAsTheShiftedCharacter) {
  EXPECT_STREQ("!", key_label(0x9E).c_str());
  EXPECT_STREQ("\"", key_label(0xB4).c_str());
  EXPECT_STREQ("_", key_label(0xAD).c_str());
  EXPECT_STREQ("?", key_label(0xB8).c_str());
  EXPECT_STREQ("A", key_label(0x84).c_str());
  EXPECT_STREQ("Shift+F1", key_label(0xBA).c_str());
  EXPECT_TRUE(has_shift_flag(0x9E));
  // Modifier keys are real usages above 0x7F, not shifted ones.
  EXPECT_FALSE(has_shift_flag(0xE1));
  EXPECT_FALSE(has_shift_flag(0x28));
}

TEST(DeviceNames, NamesConsumerKeysRequestsAndCommands) {
  EXPECT_STREQ("volume up", consumer_usage_name(0x00E9));
  EXPECT_STREQ("volume down", consumer_usage_name(0x00EA));
  EXPECT_STREQ("home", consumer_usage_name(0x0223));
  EXPECT_STREQ("menu", consumer_usage_name(0x0040));
  EXPECT_STREQ("back", consumer_usage_name(0x0224));
  EXPECT_EQ(nullptr, consumer_usage_name(0));
  EXPECT_STREQ("power down", system_request_name(1));
  EXPECT_STREQ("sleep", system_request_name(2));
  EXPECT_STREQ("firmware update", device_command_name(0xF3, 0x0C));
  EXPECT_EQ(nullptr, device_command_name(0xF3, 0x00)) << "complement must match";
}

Frame keyboard_frame(std::array<uint8_t, 6> keys, uint8_t modifiers = 0, int channel = 1) {
  std::vector<uint8_t> report{modifiers, 0};
  report.insert(report.end(), keys.begin(), keys.end());
  return decode_good(build_frame(ReportType::Keyboard, report, channel));
}

std::vector<uint8_t> values(const KeySet& set) { return {set.begin(), set.end()}; }

TEST(DeviceStateTest, TracksKeysPressedAndReleasedBetweenReports) {
  DeviceState state;
  StateChange change = state.apply(keyboard_frame({0x04, 0, 0, 0, 0, 0}, 0x02));
  EXPECT_EQ(0x02, change.modifiers_pressed);
  EXPECT_EQ(std::vector<uint8_t>{0x04}, values(change.keys_pressed));
  EXPECT_TRUE(state.target(1).key_held(0x04));

  // One slot replaced by the next character: the old key goes up, the new one down.
  change = state.apply(keyboard_frame({0x05, 0, 0, 0, 0, 0}, 0x02));
  EXPECT_EQ(0, change.modifiers_pressed);
  EXPECT_EQ(0, change.modifiers_released);
  EXPECT_EQ(std::vector<uint8_t>{0x04}, values(change.keys_released));
  EXPECT_EQ(std::vector<uint8_t>{0x05}, values(change.keys_pressed));

  // The same key in two slots is one held key; clearing releases it once.
  state.apply(keyboard_frame({0x05, 0x05, 0x9E, 0, 0, 0}));
  change = state.apply(keyboard_frame({0, 0, 0, 0, 0, 0}));
  EXPECT_EQ((std::vector<uint8_t>{0x05, 0x9E}), values(change.keys_released));
  EXPECT_FALSE(state.target(1).anything_held());
}

TEST(DeviceStateTest, KeepsEachChannelApart) {
  DeviceState state;
  state.apply(keyboard_frame({0x04, 0, 0, 0, 0, 0}, 0, 2));
  const StateChange change = state.apply(keyboard_frame({0, 0, 0, 0, 0, 0}, 0, 1));
  EXPECT_EQ(0u, change.keys_released.count) << "channel 1 never held the key";
  EXPECT_TRUE(state.target(2).key_held(0x04));
}

TEST(DeviceStateTest, TracksButtonsConsumerKeyAndTouchContacts) {
  DeviceState state;
  StateChange change =
      state.apply(decode_good(build_frame(ReportType::Mouse, {0x01, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(0x01, change.buttons_pressed);
  change = state.apply(decode_good(build_frame(ReportType::Mouse, {0x02, 0, 5, 0, 0, 0, 0})));
  EXPECT_EQ(0x02, change.buttons_pressed);
  EXPECT_EQ(0x01, change.buttons_released);
  // The absolute mouse is a device of its own: its buttons are not the mouse's.
  change = state.apply(
      decode_good(build_frame(ReportType::AbsoluteMouse, {0x02, 0, 0x10, 0, 0x20, 0, 0})));
  EXPECT_EQ(0x02, change.buttons_pressed);
  EXPECT_EQ(0x10, state.target(1).absolute_x);
  EXPECT_EQ(0x02, state.target(1).mouse_buttons);

  change = state.apply(decode_good(build_frame(ReportType::Consumer, {0xE9, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(0x00E9, change.consumer_pressed);
  change = state.apply(decode_good(build_frame(ReportType::Consumer, std::vector<uint8_t>(7, 0))));
  EXPECT_EQ(0x00E9, change.consumer_released);
  EXPECT_EQ(0, change.consumer_pressed);

  auto touch = [&](uint8_t down, uint8_t contact, uint8_t x) {
    return state.apply(decode_good(build_frame(ReportType::Touch, {down, contact, x, 0, 1, 0})))
        .touch;
  };
  EXPECT_EQ(TouchEvent::Down, touch(1, 0, 10));
  EXPECT_EQ(TouchEvent::Down, touch(1, 1, 20));
  EXPECT_EQ(TouchEvent::Move, touch(1, 0, 30));
  EXPECT_EQ(30, state.target(1).contacts[0].x);
  EXPECT_EQ(2u, state.target(1).contacts_down());
  EXPECT_EQ(TouchEvent::Up, touch(0, 0, 0));
  EXPECT_EQ(TouchEvent::RepeatedUp, touch(0, 0, 0));
  EXPECT_EQ(1u, state.target(1).contacts_down());
}

class RecordingSink final : public FrameSink {
 public:
  void on_frame(const ReceivedFrame& received) override {
    sequences.push_back(received.sequence);
    types.push_back(received.frame.type);
  }
  void on_rejected(const RejectedDatagram& rejected) override {
    sequences.push_back(rejected.sequence);
    faults.push_back(rejected.fault);
    rejected_sizes.push_back(rejected.size);
  }
  void on_finish(const Summary& summary) override {
    finished_frames = summary.counters.frames;
    finished_bad = summary.counters.bad_frames;
  }
  std::vector<uint64_t> sequences;
  std::vector<ReportType> types;
  std::vector<FrameFault> faults;
  std::vector<size_t> rejected_sizes;
  uint64_t finished_frames = 0;
  uint64_t finished_bad = 0;
};

TEST(DeviceTest, CountsFramesAndBadDatagramsAndTellsEverySink) {
  Device device;
  RecordingSink first;
  RecordingSink second;
  device.add_sink(first);
  device.add_sink(second);
  const auto key = build_frame(ReportType::Keyboard, std::vector<uint8_t>(8, 0));
  const auto touch = build_frame(ReportType::Touch, std::vector<uint8_t>(6, 0));
  const std::vector<uint8_t> garbage{1, 2, 3, 4, 5};
  device.receive(key.data(), key.size(), key.size(), 0.0);
  device.receive(garbage.data(), garbage.size(), garbage.size(), 1.0);
  device.receive(touch.data(), touch.size(), touch.size(), 2.0);
  device.receive(key.data(), 2, 2, 3.0);
  device.receive(key.data(), key.size(), key.size(), 4.0);
  device.finish();

  const Counters& counters = device.counters();
  EXPECT_EQ(5u, counters.datagrams);
  EXPECT_EQ(3u, counters.frames);
  EXPECT_EQ(2u, counters.bad_frames);
  EXPECT_EQ(2u, counters.per_type[1]);
  EXPECT_EQ(1u, counters.per_type[7]);
  EXPECT_EQ(1u, counters.per_fault[static_cast<size_t>(FrameFault::WrongHeader)]);
  EXPECT_EQ(1u, counters.per_fault[static_cast<size_t>(FrameFault::Short)]);
  for (const RecordingSink* sink : {&first, &second}) {
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3, 4, 5}), sink->sequences);
    EXPECT_EQ((std::vector<FrameFault>{FrameFault::WrongHeader, FrameFault::Short}), sink->faults);
    EXPECT_EQ(3u, sink->finished_frames);
    EXPECT_EQ(2u, sink->finished_bad);
  }
}

TEST(DeviceTest, SurvivesArbitraryDatagramsAndCountsEachOnce) {
  Device device;
  RecordingSink sink;
  device.add_sink(sink);
  std::mt19937 random(12345);
  std::vector<uint8_t> datagram;
  constexpr int kDatagrams = 5000;
  for (int i = 0; i < kDatagrams; ++i) {
    datagram.resize(random() % 300);
    for (uint8_t& byte : datagram) byte = static_cast<uint8_t>(random());
    // Most datagrams get a plausible head so the later checks are reached too.
    if (datagram.size() >= kFrameHeadSize && i % 4 != 0) {
      datagram.resize(kFrameHeadSize + random() % 20);
      datagram[0] = kFrameHeader;
      datagram[1] = static_cast<uint8_t>(datagram.size() - kFrameHeadSize);
      if (i % 2 == 0) {
        uint8_t sum = datagram[3];
        for (size_t b = kFrameHeadSize; b < datagram.size(); ++b) sum += datagram[b];
        datagram[2] = sum;
      }
    }
    device.receive(datagram.data(), datagram.size(), datagram.size(), i);
  }
  const Counters& counters = device.counters();
  EXPECT_EQ(static_cast<uint64_t>(kDatagrams), counters.frames + counters.bad_frames);
  EXPECT_GT(counters.frames, 0u);
  uint64_t by_fault = 0;
  for (uint64_t count : counters.per_fault) by_fault += count;
  EXPECT_EQ(counters.bad_frames, by_fault);
  EXPECT_EQ(static_cast<size_t>(kDatagrams), sink.sequences.size());
}

// Everything a sink writes to a stream, as text.
template <typename Sink, typename Feed>
std::string sink_output(Feed feed) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&text, &size);
  {
    Sink sink(stream);
    Device device;
    device.add_sink(sink);
    feed(device);
    device.finish();
  }
  std::fclose(stream);
  std::string result(text, size);
  std::free(text);
  return result;
}

TEST(DevicePrinting, JsonLinesCarryReportHexAndEscapedKeyNames) {
  const auto frame = build_frame(ReportType::Keyboard, {0, 0, 0xB4, 0x31, 0, 0, 0, 0});
  const std::string out = sink_output<JsonSink>(
      [&](Device& device) { device.receive(frame.data(), frame.size(), frame.size(), 12.5); });
  const std::string first_line = out.substr(0, out.find('\n'));
  EXPECT_NE(std::string::npos, first_line.find("\"time_ms\":12.500"));
  EXPECT_NE(std::string::npos, first_line.find("\"channel\":1,\"type\":\"Keyboard\""));
  EXPECT_NE(std::string::npos, first_line.find("\"report\":\"0000b43100000000\""));
  // The quotation mark and the backslash key arrive escaped, so the line stays JSON.
  EXPECT_NE(std::string::npos, first_line.find("\"pressed\":[\"\\\"\",\"\\\\\"]")) << first_line;
  EXPECT_NE(std::string::npos, out.find("{\"summary\":{\"frames\":1,\"bad_frames\":0"));
}

TEST(DevicePrinting, TextNamesTheFaultAndShowsTheStartOfTheDatagram) {
  std::vector<uint8_t> long_datagram(100, 0xAB);
  const std::string out = sink_output<TextSink>([&](Device& device) {
    device.receive(long_datagram.data(), long_datagram.size(), long_datagram.size(), 0.0);
  });
  EXPECT_NE(std::string::npos, out.find("bad frame (wrong header): first byte is 0xab"));
  EXPECT_NE(std::string::npos, out.find("ab ab ..."));
  EXPECT_NE(std::string::npos, out.find("summary: 0 frames, 1 bad frame\n"));
  EXPECT_NE(std::string::npos, out.find("bad frames by reason: wrong header 1"));
}

TEST(DevicePrinting, SummaryListsWhatIsStillHeld) {
  const auto key = build_frame(ReportType::Keyboard, {0x01, 0, 0x04, 0, 0, 0, 0, 0}, 2);
  const auto touch = build_frame(ReportType::Touch, {1, 1, 0, 0, 0, 0});
  const std::string out = sink_output<TextSink>([&](Device& device) {
    device.receive(key.data(), key.size(), key.size(), 0.0);
    device.receive(touch.data(), touch.size(), touch.size(), 1.0);
  });
  EXPECT_NE(std::string::npos, out.find("keys: LCtrl a  (press LCtrl a)"));
  EXPECT_NE(std::string::npos, out.find("still held on ch2: keys LCtrl a\n"));
  EXPECT_NE(std::string::npos, out.find("still held on ch1: contacts 1\n"));
}

TEST(DevicePrinting, ALineTooLongForItsBufferEndsInAnEllipsis) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&text, &size);
  LineBuffer line;
  const std::string long_text(5000, 'x');
  line.append(long_text.c_str());
  line.appendf("%s", "more");
  line.append_char('y');
  line.write_line(stream);
  line.appendf("%d", 42);
  line.write_line(stream);
  std::fclose(stream);
  const std::string out(text, size);
  std::free(text);
  const size_t first_end = out.find('\n');
  ASSERT_NE(std::string::npos, first_end);
  EXPECT_LT(first_end, 4096u);
  EXPECT_EQ("...", out.substr(first_end - 3, 3));
  EXPECT_EQ("42\n", out.substr(first_end + 1)) << "the next line starts afresh";
}

}  // namespace
