// Touch reports, the TouchArea, slides and zoom gestures.
#include "command/touch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_capture.h"

namespace tapline {
namespace {

using testing::CommandCapture;
using testing::report_line;
using testing::sleep_line;
using testing::touch_line;
using Lines = std::vector<std::string>;

const std::string kLift = touch_line(0, 0, 0, 0);

// With a TouchArea of 4095 x 4095 the wire carries the coordinates unscaled, so a
// gesture's points can be read straight off its frames.
constexpr int kIdentity = 4095;

struct Point {
  int x, y;
  bool operator==(const Point&) const = default;
};

void PrintTo(const Point& p, std::ostream* out) { *out << "(" << p.x << ", " << p.y << ")"; }

// The touching points of contact 0 in `lines`, each followed by a pause of `delay`, then
// the lifts; fails the test on anything else.
std::vector<Point> slide_points(const Lines& lines, int delay, int lifts = 1) {
  std::vector<Point> points;
  size_t i = 0;
  for (; i + 1 < lines.size() && lines[i] != kLift; i += 2) {
    unsigned state, contact, xl, xh, yl, yh;
    EXPECT_EQ(std::sscanf(lines[i].c_str(), "Touch %X %X %X %X %X %X", &state, &contact, &xl, &xh,
                          &yl, &yh),
              6)
        << lines[i];
    EXPECT_EQ(state, 1u);
    EXPECT_EQ(contact, 0u);
    EXPECT_EQ(lines[i + 1], sleep_line(delay));
    points.push_back({static_cast<int>(xl | xh << 8), static_cast<int>(yl | yh << 8)});
  }
  EXPECT_EQ(lines.size() - i, static_cast<size_t>(lifts));
  for (; i < lines.size(); ++i) EXPECT_EQ(lines[i], kLift);
  return points;
}

std::vector<Point> column(int x, int from, int step, int count) {
  std::vector<Point> points;
  for (int i = 0; i < count; ++i) points.push_back({x, from + step * i});
  return points;
}

std::vector<Point> row(int y, int from, int step, int count) {
  std::vector<Point> points;
  for (int i = 0; i < count; ++i) points.push_back({from + step * i, y});
  return points;
}

class TouchTest : public ::testing::Test {
 protected:
  void SetUp() override { touch_set(kIdentity, kIdentity); }
  void TearDown() override { touch_set(1080, 2408); }
  CommandCapture capture;
};

TEST_F(TouchTest, TouchScalesToTheInitialArea) {
  touch_set(1080, 2408);
  EXPECT_EQ(touch(1, 0, 540, 1204), 1);
  ASSERT_EQ(capture.frames().size(), 1u);
  EXPECT_EQ(capture.frames()[0],
            (std::vector<uint8_t>{0x2C, 0x06, 0x54, 0x47, 0x01, 0x00, 0xFF, 0x07, 0xFF, 0x07}));
}

TEST_F(TouchTest, TouchFieldsAreCutNotClamped) {
  touch_set(1080, 2408);
  touch(0x101, 0x102, 2160, 0x10000 + 2408);
  touch_set(1, 1);
  touch(1, 0, 65535, 3);
  EXPECT_EQ(capture.take(),
            (Lines{touch_line(1, 2, 8190, 4095),
                   touch_line(1, 0, static_cast<uint16_t>(65535 * 4095), 3 * 4095)}));
}

TEST_F(TouchTest, TouchSetRefusesAZeroSide) {
  touch_set(1000, 2000);
  ::testing::internal::CaptureStderr();
  touch_set(0, 500);
  touch_set(500, 0x10000);  // 0 in its low 16 bits
  const std::string notice = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(notice.find("keeping 1000 x 2000"), std::string::npos) << notice;
  EXPECT_EQ(touch_area().width, 1000);
  EXPECT_EQ(touch_area().height, 2000);
  touch_set(0x10000 + 500, 250);
  EXPECT_EQ(touch_area().width, 500);
  EXPECT_EQ(touch_area().height, 250);
  EXPECT_TRUE(capture.take().empty());
}

TEST_F(TouchTest, ReleaseAndTaps) {
  EXPECT_EQ(touch_release(1), 1);
  EXPECT_EQ(touch_click(10, 20), 1);
  EXPECT_EQ(touch_longclick(30, 40), 1);
  EXPECT_EQ(capture.take(), (Lines{touch_line(0, 1, 0, 0), touch_line(1, 0, 10, 20), sleep_line(10),
                                   kLift, touch_line(1, 0, 30, 40), sleep_line(1000), kLift}));
}

TEST_F(TouchTest, DoubleTapDefaultsToTheMiddle) {
  touch_set(1080, 2408);
  touch_dbclick(0, 0);
  const std::string down = touch_line(1, 0, 2047, 2047);
  EXPECT_EQ(capture.take(), (Lines{down, sleep_line(60), kLift, sleep_line(250), down,
                                   sleep_line(60), kLift, sleep_line(10)}));
  touch_set(kIdentity, kIdentity);
  touch_dbclick(0x10000 + 100, 0);  // x is 100, y defaults
  const Lines lines = capture.take();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], touch_line(1, 0, 100, 2047));
}

TEST_F(TouchTest, VerticalSlides) {
  touch_slide(100, 100, 100, 300, 0);
  EXPECT_EQ(slide_points(capture.take(), 20), column(100, 100, 50, 4));  // never sends 300
  touch_slide(100, 300, 100, 100, 0);
  EXPECT_EQ(slide_points(capture.take(), 20), column(100, 300, -50, 5));  // sends 100
  touch_slide(100, 320, 100, 100, 7);
  EXPECT_EQ(slide_points(capture.take(), 7), column(100, 320, -50, 5));  // ends at 120
}

TEST_F(TouchTest, HorizontalSlides) {
  touch_slide(0, 10, 120, 10, 0x10005);  // delay cut to 16 bits
  EXPECT_EQ(slide_points(capture.take(), 5), row(10, 0, 50, 3));
  touch_slide(120, 10, 0, 10, 0x10000);  // 0 in 16 bits: the default
  EXPECT_EQ(slide_points(capture.take(), 20), row(10, 120, -50, 3));
}

TEST_F(TouchTest, SlidesNearTheEdgesOfTheCoordinateRangeEnd) {
  touch_slide(0, 65500, 0, 65535, 1);
  EXPECT_EQ(slide_points(capture.take(), 1), column(0, 65500, 50, 1));
  touch_slide(0, 120, 0, 0, 1);
  EXPECT_EQ(slide_points(capture.take(), 1), column(0, 120, -50, 3));
}

TEST_F(TouchTest, DiagonalSlidesFollowTheLineAndNeverSendTheEnd) {
  touch_slide(0, 0, 200, 100, 0);
  EXPECT_EQ(slide_points(capture.take(), 20),
            (std::vector<Point>{{0, 0}, {50, 25}, {100, 50}, {150, 75}}));
  touch_slide(200, 0, 0, 100, 0);
  EXPECT_EQ(slide_points(capture.take(), 20),
            (std::vector<Point>{{200, 0}, {150, 25}, {100, 50}, {50, 75}}));
  touch_slide(0, 100, 200, 0, 0);
  EXPECT_EQ(slide_points(capture.take(), 20),
            (std::vector<Point>{{0, 100}, {50, 75}, {100, 50}, {150, 25}}));
}

TEST_F(TouchTest, DiagonalSlideStopsWhenTheOrdinateArrives) {
  touch_slide(0, 1, 200, 0, 0);  // the line's y truncates to 0 at x = 50
  EXPECT_EQ(slide_points(capture.take(), 20), (std::vector<Point>{{0, 1}, {50, 0}}));
}

TEST_F(TouchTest, DiagonalSlideAcrossTheWholeRange) {
  touch_slide(0, 60000, 60000, 0, 1);
  const std::vector<Point> points = slide_points(capture.take(), 1);
  ASSERT_EQ(points.size(), 1200u);
  for (size_t i = 0; i < points.size(); ++i)
    ASSERT_EQ(points[i], (Point{static_cast<int>(50 * i), static_cast<int>(60000 - 50 * i)}));
}

TEST_F(TouchTest, SlideWithEqualEndsSendsNothing) {
  touch_slide(5, 5, 5, 5, 0);
  touch_slide(5, 5, 0x10005, 5, 0);
  EXPECT_TRUE(capture.take().empty());
}

TEST_F(TouchTest, SlideCommandsInFourDirections) {
  EXPECT_EQ(touch_slide_left(), 1);
  EXPECT_EQ(slide_points(capture.take(), 20, 2), row(2047, 3895, -50, 76));
  EXPECT_EQ(touch_slide_right(), 1);
  EXPECT_EQ(slide_points(capture.take(), 20, 2), row(2047, 200, 50, 76));
  EXPECT_EQ(touch_slide_up(), 1);
  EXPECT_EQ(slide_points(capture.take(), 20, 2), column(2047, 3695, -50, 66));
  EXPECT_EQ(touch_slide_down(), 1);
  EXPECT_EQ(slide_points(capture.take(), 20, 2), column(2047, 500, 50, 64));
}

TEST_F(TouchTest, SlideLeftOnTheInitialArea) {
  touch_set(1080, 2408);
  touch_slide_left();
  const Lines lines = capture.take();
  ASSERT_EQ(lines.size(), 16u * 2 + 2);  // x = 880, 830, ..., 130; then two lifts
  EXPECT_EQ(lines[0], touch_line(1, 0, 880 * 4095 / 1080, 2047));
  EXPECT_EQ(lines[30], touch_line(1, 0, 130 * 4095 / 1080, 2047));
  EXPECT_EQ(lines[32], kLift);
  EXPECT_EQ(lines[33], kLift);
}

// Both zooms, with a TouchArea whose height is unscaled: each step touches contact 0
// then contact 1 and pauses 10 ms; both contacts are lifted at the end.
Lines zoom_lines(std::initializer_list<std::pair<int, int>> steps) {
  Lines lines;
  for (const auto& [first, second] : steps) {
    lines.push_back(touch_line(1, 0, 2047, static_cast<uint16_t>(first)));
    lines.push_back(touch_line(1, 1, 2047, static_cast<uint16_t>(second)));
    lines.push_back(sleep_line(10));
  }
  lines.push_back(kLift);
  lines.push_back(touch_line(0, 1, 0, 0));
  return lines;
}

TEST_F(TouchTest, ZoomInCountsTheSecondContactFromTheWidth) {
  touch_set(1080, kIdentity);
  EXPECT_EQ(touch_zoom_in(), 1);
  EXPECT_EQ(capture.take(),
            zoom_lines({{500, 580}, {600, 480}, {700, 380}, {800, 280}, {900, 180}}));
}

TEST_F(TouchTest, ZoomOutSpreadsFromTheMiddle) {
  touch_set(1080, kIdentity);
  EXPECT_EQ(touch_zoom_out(), 1);
  EXPECT_EQ(capture.take(),
            zoom_lines({{2047, 2047}, {1947, 2147}, {1847, 2247}, {1747, 2347}, {1647, 2447}}));
}

TEST_F(TouchTest, ZoomInOnANarrowAreaWrapsTheOrdinate) {
  touch_set(400, kIdentity);  // 400 - 500 wraps to 65436
  touch_zoom_in();
  const Lines lines = capture.take();
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[1], touch_line(1, 1, 2047, static_cast<uint16_t>(65436 * 4095 / kIdentity)));
}

TEST_F(TouchTest, WithoutATransportGesturesKeepTheirPauses) {
  set_send_cb(nullptr);
  EXPECT_EQ(touch_click(1, 1), 0);
  EXPECT_EQ(touch_zoom_out(), 0);
  EXPECT_EQ(capture.take(), (Lines{sleep_line(10), sleep_line(10), sleep_line(10), sleep_line(10),
                                   sleep_line(10), sleep_line(10)}));
}

}  // namespace
}  // namespace tapline
