// The device's HID functions, shared by the USB gadget and the uhid devices: which input
// report of which function presents each frame the command layer builds, what the device
// lifts when it stops, what the descriptors promise, the keyboard's lock lights and the
// answers to report requests. (The whole path through the kernel's USB, uhid and input
// stacks is checked in the test VM, tests/vm.)
#include "hid/hid_reports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/frame_decoder.h"
#include "print/print_sinks.h"
#include "tapline.h"
#include "uhid/uhid_devices.h"

namespace {

using namespace tapline::device;

std::vector<std::vector<uint8_t>> frames;

void capture_frame(const uint8_t* frame, int length) {
  frames.emplace_back(frame, frame + (length & 0xFF));
}

// The gadget reports, as (function, bytes), for every frame that `send` makes.
template <typename Send>
std::vector<std::pair<HidFunction, std::vector<uint8_t>>> presented(HidReports& reports,
                                                                    Send send) {
  frames.clear();
  set_send_cb(capture_frame);
  send();
  set_send_cb(nullptr);
  std::vector<std::pair<HidFunction, std::vector<uint8_t>>> out;
  for (const auto& frame : frames) {
    const DecodeResult decoded = decode_datagram(frame.data(), frame.size());
    EXPECT_TRUE(decoded.ok);
    std::array<HidReport, 2> made;
    for (size_t i = 0, count = reports.reports_for(decoded.frame, made); i < count; ++i)
      out.emplace_back(
          made[i].function,
          std::vector<uint8_t>(made[i].bytes.begin(), made[i].bytes.begin() + made[i].size));
  }
  return out;
}

using Bytes = std::vector<uint8_t>;

TEST(HidReports, EachCommandLandsOnItsFunctionInItsReportLayout) {
  HidReports reports;
  // A usage typed with Shift becomes the key plus the left Shift bit.
  auto keys = presented(reports, [] { key_hid(0x9E); });  // "!"
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].first, HidFunction::Keyboard);
  EXPECT_EQ(keys[0].second, (Bytes{0x02, 0, 0x1E, 0, 0, 0, 0, 0}));
  EXPECT_EQ(keys[1].second, Bytes(8, 0));

  auto moves = presented(reports, [] { mouse(0x01, 300, -2, -1); });
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0], std::make_pair(HidFunction::Pointer, Bytes{1, 0x01, 0x2C, 0xFE, 0xFF}));

  auto joystick = presented(reports, [] { joy(0x8003, 0, 0, 0, 0); });
  EXPECT_EQ(joystick[0], std::make_pair(HidFunction::Pointer, Bytes{3, 0x03, 0x80}));

  auto media = presented(reports, [] { consumer(0x0223); });
  EXPECT_EQ(media[0], std::make_pair(HidFunction::Touch, Bytes{2, 0x23, 0x02}));

  // The host sends no release after a power request: the device lets the key go itself.
  auto power = presented(reports, [] { power_sleep(); });
  ASSERT_EQ(power.size(), 2u);
  EXPECT_EQ(power[0].second, (Bytes{3, 2}));
  EXPECT_EQ(power[1].second, (Bytes{3, 0}));

  EXPECT_TRUE(presented(reports, [] { reboot(); }).empty());
}

TEST(HidReports, TouchReportsCarryBothContactsAndTheStopLiftsEverything) {
  HidReports reports;
  touch_set(4095, 4095);  // touch units are wire units
  presented(reports, [] { touch(1, 0, 0x123, 0x456); });
  auto second = presented(reports, [] { touch(1, 1, 0x789, 0xABC); });
  const Bytes both{1, 1, 0, 0x23, 0x01, 0x56, 0x04, 1, 1, 0x89, 0x07, 0xBC, 0x0A, 2};
  EXPECT_EQ(second[0], std::make_pair(HidFunction::Touch, both));
  // A lift keeps the contact where it was; a contact the screen does not have is ignored.
  auto lifted = presented(reports, [] { touch_release(0); });
  EXPECT_EQ(lifted[0].second[1], 0);
  EXPECT_EQ(lifted[0].second[3], 0x23);
  EXPECT_TRUE(presented(reports, [] { touch(1, 2, 1, 1); }).empty());
  touch_set(1080, 2408);

  presented(reports, [] {
    const uint8_t at_edge[7] = {0x01, 0, 0xFF, 0x0F, 0x00, 0x08, 0};  // wire units
    makeHid(6, at_edge, 7);
  });
  std::array<HidReport, 6> releases;
  ASSERT_EQ(reports.releases(releases), 6u);
  for (const HidReport& release : releases) {
    const Bytes bytes(release.bytes.begin(), release.bytes.begin() + release.size);
    const bool touch_report = release.function == HidFunction::Touch && bytes[0] == kTouchReportId;
    const bool absolute_report =
        release.function == HidFunction::Pointer && bytes[0] == kAbsoluteMouseReportId;
    if (release.function == HidFunction::Keyboard) {
      EXPECT_EQ(bytes, Bytes(8, 0));
    } else if (touch_report) {
      EXPECT_EQ(bytes[1], 0);  // neither contact touches
      EXPECT_EQ(bytes[7], 0);
    } else if (absolute_report) {
      EXPECT_EQ(bytes, (Bytes{2, 0, 0xFF, 0x0F, 0x00, 0x08, 0}));  // buttons up, still there
    } else {
      EXPECT_EQ(std::count(bytes.begin() + 1, bytes.end(), 0), bytes.size() - 1);
    }
  }
}

// Bits of each input (0x81) and output (0x91) report of a descriptor, by report id, as
// the computer's HID parser counts them.
struct ReportBits {
  std::map<uint8_t, unsigned> input;
  std::map<uint8_t, unsigned> output;
};
ReportBits report_bits(std::span<const uint8_t> descriptor) {
  ReportBits bits;
  unsigned size = 0, count = 0;
  uint8_t id = 0;
  for (size_t at = 0; at < descriptor.size();) {
    const uint8_t prefix = descriptor[at];
    const size_t length = (prefix & 3) == 3 ? 4 : prefix & 3;
    unsigned value = 0;
    for (size_t i = 0; i < length; ++i) value |= unsigned{descriptor[at + 1 + i]} << (8 * i);
    switch (prefix & 0xFC) {
      case 0x74:
        size = value;
        break;
      case 0x94:
        count = value;
        break;
      case 0x84:
        id = static_cast<uint8_t>(value);
        break;
      case 0x80:
        bits.input[id] += size * count;
        break;
      case 0x90:
        bits.output[id] += size * count;
        break;
      default:
        break;
    }
    at += 1 + length;
  }
  return bits;
}

TEST(HidLayouts, ReportLengthsAndIdsAreTheDescriptorsOwn) {
  for (size_t i = 0; i < kHidFunctionCount; ++i) {
    const HidLayout& layout = hid_layout(static_cast<HidFunction>(i));
    const ReportBits bits = report_bits(layout.descriptor);
    unsigned longest = 0;
    for (const auto& [id, count] : bits.input) {
      EXPECT_EQ(count % 8, 0u) << layout.name;
      longest = std::max(longest, count / 8 + (id != 0 ? 1 : 0));
      EXPECT_EQ(id != 0, layout.numbered) << layout.name;
    }
    EXPECT_EQ(longest, layout.report_length) << layout.name;
  }
  const ReportBits pointer = report_bits(hid_layout(HidFunction::Pointer).descriptor);
  EXPECT_EQ(pointer.input.size(), 3u);
  EXPECT_EQ(pointer.input.count(kRelativeMouseReportId) +
                pointer.input.count(kAbsoluteMouseReportId) +
                pointer.input.count(kJoystickReportId),
            3u);
  const ReportBits touch = report_bits(hid_layout(HidFunction::Touch).descriptor);
  EXPECT_EQ(touch.input.at(kTouchReportId), 13u * 8);
  EXPECT_EQ(touch.input.at(kConsumerReportId), 16u);
  EXPECT_EQ(touch.input.at(kSystemControlReportId), 8u);
}

TEST(HidLayouts, TheKeyboardTakesTheFiveLockLightsAsItsOutputReport) {
  const HidLayout& keyboard = hid_layout(HidFunction::Keyboard);
  EXPECT_EQ(report_bits(keyboard.descriptor).output.at(0), 8u);  // 5 lights, 3 padding
  const std::vector<uint8_t> descriptor(keyboard.descriptor.begin(), keyboard.descriptor.end());
  const std::vector<uint8_t> lights{0x95, 0x05, 0x75, 0x01, 0x05, 0x08,
                                    0x19, 0x01, 0x29, 0x05, 0x91, 0x02};
  EXPECT_NE(std::search(descriptor.begin(), descriptor.end(), lights.begin(), lights.end()),
            descriptor.end());
  EXPECT_EQ(keyboard.subclass, 1);  // a boot keyboard still
  EXPECT_EQ(keyboard.protocol, 1);

  uint8_t leds = 0;
  const uint8_t caps[] = {kLedCapsLock};
  EXPECT_TRUE(leds_of_output_report(HidFunction::Keyboard, caps, leds));
  EXPECT_EQ(leds, kLedCapsLock);
  const uint8_t through_hidraw[] = {0, kLedNumLock | kLedKana | 0xE0};
  EXPECT_TRUE(leds_of_output_report(HidFunction::Keyboard, through_hidraw, leds));
  EXPECT_EQ(leds, kLedNumLock | kLedKana);
  EXPECT_FALSE(leds_of_output_report(HidFunction::Pointer, caps, leds));
  const uint8_t longer[] = {1, 2, 3};
  EXPECT_FALSE(leds_of_output_report(HidFunction::Keyboard, longer, leds));
}

TEST(HidLayouts, GetReportIsAnsweredWithAZeroReportOfItsId) {
  std::array<uint8_t, 64> out;
  out.fill(0xAA);
  ASSERT_EQ(get_report_answer(HidFunction::Pointer, kAbsoluteMouseReportId, out), 7u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{2, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(get_report_answer(HidFunction::Keyboard, 0, out), 8u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), Bytes(8, 0));
  std::array<uint8_t, 4> short_buffer;
  EXPECT_EQ(get_report_answer(HidFunction::Touch, kTouchReportId, short_buffer), 4u);
}

TEST(Uhid, DevicesCarryTheIdentityAndTheGadgetsDescriptors) {
  for (size_t i = 0; i < kInputFunctionCount; ++i) {
    const auto function = static_cast<HidFunction>(i);
    const uhid_event event = uhid_create_event(function);
    EXPECT_EQ(event.type, UHID_CREATE2);
    const uhid_create2_req& create = event.u.create2;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(create.name)),
              std::string("Tapline software device ") + hid_layout(function).name);
    EXPECT_EQ(create.vendor, 0x5131u);
    EXPECT_EQ(create.product, 0x2019u);
    const std::span<const uint8_t> descriptor = hid_layout(function).descriptor;
    ASSERT_EQ(create.rd_size, descriptor.size());
    EXPECT_TRUE(std::equal(descriptor.begin(), descriptor.end(), &create.rd_data[0]));
  }
  HidReport report{HidFunction::Pointer, {kJoystickReportId, 0x03, 0x80}, 3};
  const uhid_event input = uhid_input_event(report);
  EXPECT_EQ(input.type, UHID_INPUT2);
  EXPECT_EQ(input.u.input2.size, 3);
  EXPECT_EQ(Bytes(&input.u.input2.data[0], &input.u.input2.data[3]), (Bytes{3, 0x03, 0x80}));
}

TEST(Uhid, RequestsAreAnsweredAndTheLightsTaken) {
  uhid_event event{};
  event.type = UHID_START;
  EXPECT_TRUE(answer_uhid_event(HidFunction::Touch, event).started);

  event = {};
  event.type = UHID_OUTPUT;
  event.u.output.rtype = UHID_OUTPUT_REPORT;
  event.u.output.size = 1;
  event.u.output.data[0] = kLedCapsLock | kLedScrollLock;
  UhidAnswer answer = answer_uhid_event(HidFunction::Keyboard, event);
  EXPECT_EQ(answer.leds, kLedCapsLock | kLedScrollLock);
  EXPECT_FALSE(answer.reply);

  event = {};
  event.type = UHID_GET_REPORT;
  event.u.get_report.id = 77;
  event.u.get_report.rnum = kConsumerReportId;
  event.u.get_report.rtype = UHID_INPUT_REPORT;
  answer = answer_uhid_event(HidFunction::Touch, event);
  ASSERT_TRUE(answer.reply);
  EXPECT_EQ(answer.reply->type, UHID_GET_REPORT_REPLY);
  EXPECT_EQ(answer.reply->u.get_report_reply.id, 77u);
  EXPECT_EQ(answer.reply->u.get_report_reply.err, 0);
  EXPECT_EQ(answer.reply->u.get_report_reply.size, 14);
  EXPECT_EQ(answer.reply->u.get_report_reply.data[0], kConsumerReportId);

  event = {};
  event.type = UHID_SET_REPORT;
  event.u.set_report.id = 78;
  event.u.set_report.rtype = UHID_OUTPUT_REPORT;
  event.u.set_report.size = 1;
  event.u.set_report.data[0] = kLedNumLock;
  answer = answer_uhid_event(HidFunction::Keyboard, event);
  EXPECT_EQ(answer.leds, kLedNumLock);
  ASSERT_TRUE(answer.reply);
  EXPECT_EQ(answer.reply->type, UHID_SET_REPORT_REPLY);
  EXPECT_EQ(answer.reply->u.set_report_reply.id, 78u);
  EXPECT_EQ(answer.reply->u.set_report_reply.err, 0);
}

TEST(DeviceLeds, TheLightsAreKeptAndPrinted) {
  char* text = nullptr;
  size_t text_size = 0;
  std::FILE* out = open_memstream(&text, &text_size);
  ASSERT_NE(out, nullptr);
  TextSink text_sink(out);
  JsonSink json_sink(out);
  Device device;
  device.add_sink(text_sink);
  device.add_sink(json_sink);
  device.set_leds(1, kLedNumLock | kLedCapsLock, 5.0);
  EXPECT_EQ(device.state().target(1).leds, kLedNumLock | kLedCapsLock);
  EXPECT_EQ(device.state().target(0).leds, 0);
  std::fclose(out);
  const std::string lines(text, text_size);
  std::free(text);
  EXPECT_NE(lines.find("ch1 LEDs          03"), std::string::npos) << lines;
  EXPECT_NE(lines.find("lit: NumLock CapsLock\n"), std::string::npos) << lines;
  EXPECT_NE(
      lines.find(
          "{\"time_ms\":5.000,\"channel\":1,\"leds\":\"03\",\"lit\":[\"NumLock\",\"CapsLock\"]}\n"),
      std::string::npos)
      << lines;
}

}  // namespace
