// The device on a USB gadget: which input report of which gadget function presents each
// frame the command layer builds, and what the device lifts when it stops. (The whole
// path through the kernel's USB and input stacks is checked in the test VM, tests/vm.)
#include "gadget/gadget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "core/frame_decoder.h"
#include "tapline.h"

namespace {

using namespace tapline::device;

std::vector<std::vector<uint8_t>> frames;

void capture_frame(const uint8_t* frame, int length) {
  frames.emplace_back(frame, frame + (length & 0xFF));
}

// The gadget reports, as (function, bytes), for every frame that `send` makes.
template <typename Send>
std::vector<std::pair<GadgetFunction, std::vector<uint8_t>>> presented(GadgetReports& reports,
                                                                       Send send) {
  frames.clear();
  set_send_cb(capture_frame);
  send();
  set_send_cb(nullptr);
  std::vector<std::pair<GadgetFunction, std::vector<uint8_t>>> out;
  for (const auto& frame : frames) {
    const DecodeResult decoded = decode_datagram(frame.data(), frame.size());
    EXPECT_TRUE(decoded.ok);
    std::array<GadgetReport, 2> made;
    for (size_t i = 0, count = reports.reports_for(decoded.frame, made); i < count; ++i)
      out.emplace_back(
          made[i].function,
          std::vector<uint8_t>(made[i].bytes.begin(), made[i].bytes.begin() + made[i].size));
  }
  return out;
}

using Bytes = std::vector<uint8_t>;

TEST(GadgetReports, EachCommandLandsOnItsFunctionInItsReportLayout) {
  GadgetReports reports;
  // A usage typed with Shift becomes the key plus the left Shift bit.
  auto keys = presented(reports, [] { key_hid(0x9E); });  // "!"
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].first, GadgetFunction::Keyboard);
  EXPECT_EQ(keys[0].second, (Bytes{0x02, 0, 0x1E, 0, 0, 0, 0, 0}));
  EXPECT_EQ(keys[1].second, Bytes(8, 0));

  auto moves = presented(reports, [] { mouse(0x01, 300, -2, -1); });
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0], std::make_pair(GadgetFunction::Pointer, Bytes{1, 0x01, 0x2C, 0xFE, 0xFF}));

  auto joystick = presented(reports, [] { joy(0x8003, 0, 0, 0, 0); });
  EXPECT_EQ(joystick[0], std::make_pair(GadgetFunction::Pointer, Bytes{3, 0x03, 0x80}));

  auto media = presented(reports, [] { consumer(0x0223); });
  EXPECT_EQ(media[0], std::make_pair(GadgetFunction::Touch, Bytes{2, 0x23, 0x02}));

  // The host sends no release after a power request: the device lets the key go itself.
  auto power = presented(reports, [] { power_sleep(); });
  ASSERT_EQ(power.size(), 2u);
  EXPECT_EQ(power[0].second, (Bytes{3, 2}));
  EXPECT_EQ(power[1].second, (Bytes{3, 0}));

  EXPECT_TRUE(presented(reports, [] { reboot(); }).empty());
}

TEST(GadgetReports, TouchReportsCarryBothContactsAndTheStopLiftsEverything) {
  GadgetReports reports;
  touch_set(4095, 4095);  // touch units are wire units
  presented(reports, [] { touch(1, 0, 0x123, 0x456); });
  auto second = presented(reports, [] { touch(1, 1, 0x789, 0xABC); });
  const Bytes both{1, 1, 0, 0x23, 0x01, 0x56, 0x04, 1, 1, 0x89, 0x07, 0xBC, 0x0A, 2};
  EXPECT_EQ(second[0], std::make_pair(GadgetFunction::Touch, both));
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
  std::array<GadgetReport, 6> releases;
  ASSERT_EQ(reports.releases(releases), 6u);
  for (const GadgetReport& release : releases) {
    const Bytes bytes(release.bytes.begin(), release.bytes.begin() + release.size);
    const bool touch_report =
        release.function == GadgetFunction::Touch && bytes[0] == kTouchReportId;
    const bool absolute_report =
        release.function == GadgetFunction::Pointer && bytes[0] == kAbsoluteMouseReportId;
    if (release.function == GadgetFunction::Keyboard) {
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

}  // namespace
