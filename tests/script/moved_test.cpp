// MoveD: the relative mouse driven toward a host screen point, with the host cursor as
// feedback. The host cursor here is a pointer that follows the recorded move reports
// with a chosen gain, so every pass and its reports can be checked.
#include <cstdlib>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "command/host_message.h"
#include "command_capture.h"
#include "platform/screen_source.h"
#include "script_state.h"
#include "tapline.h"

namespace {

using tapline::testing::CommandCapture;
using tapline::testing::ScriptState;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A host pointer that moves by gain pixels per unit of every relative mouse report sent
// so far and stops at the screen's edges. It keeps fractions of a pixel, as an
// acceleration curve below 1 does, and shows whole pixels.
class FollowingPointer final : public tapline::platform::ScreenSource {
 public:
  explicit FollowingPointer(const CommandCapture& capture) : capture_(capture) {}

  tapline::platform::ScreenSize size() override { return {kWidth, kHeight}; }
  std::optional<tapline::platform::ScreenPoint> cursor() override {
    ++reads;
    if (!available) return std::nullopt;
    follow_new_frames();
    return tapline::platform::ScreenPoint{static_cast<int>(x), static_cast<int>(y)};
  }

  double x = 100;
  double y = 100;
  double gain = 1;
  int threshold = 0;  // 0: no acceleration
  double acceleration = 1;
  bool available = true;
  int reads = 0;

 private:
  void follow_new_frames() {
    const std::vector<std::vector<uint8_t>>& frames = capture_.frames();
    for (; followed_ < frames.size(); ++followed_) {
      const std::vector<uint8_t>& frame = frames[followed_];
      if ((frame[3] & 0x1F) != 5) continue;
      const int units_x = static_cast<int8_t>(frame[6]);
      const int units_y = static_cast<int8_t>(frame[7]);
      // X's acceleration: a report of more than `threshold` units moves `acceleration`
      // times as far.
      const double factor =
          threshold > 0 && std::abs(units_x) + std::abs(units_y) > threshold ? acceleration : 1;
      x = clamp(x + gain * factor * units_x, kWidth - 1);
      y = clamp(y + gain * factor * units_y, kHeight - 1);
    }
  }
  static double clamp(double value, int high) {
    return value < 0 ? 0 : value > high ? high : value;
  }

  const CommandCapture& capture_;
  size_t followed_ = 0;
};

std::mutex host_texts_lock;
std::vector<std::string> host_texts;

void host_window(unsigned int, uintptr_t, char* text) {
  std::lock_guard guard(host_texts_lock);
  host_texts.emplace_back(text);
  free(text);
}

class MoveD : public ::testing::Test {
 protected:
  void SetUp() override {
    tapline::platform::set_screen(&pointer_);
    set_apphandle(&host_window);
    std::lock_guard guard(host_texts_lock);
    host_texts.clear();
  }
  void TearDown() override {
    set_apphandle(nullptr);
    tapline::platform::set_screen(nullptr);
  }

  std::vector<std::string> messages() {
    EXPECT_TRUE(tapline::flush_host_messages(std::chrono::seconds(5)));
    std::lock_guard guard(host_texts_lock);
    return host_texts;
  }

  // The movement (x, y) of every relative mouse report that moves.
  std::vector<std::pair<int, int>> moves() const {
    std::vector<std::pair<int, int>> result;
    for (const std::vector<uint8_t>& frame : capture_.frames())
      if ((frame[3] & 0x1F) == 5 && (frame[6] || frame[7]))
        result.emplace_back(static_cast<int8_t>(frame[6]), static_cast<int8_t>(frame[7]));
    return result;
  }

  CommandCapture capture_;
  FollowingPointer pointer_{capture_};
  ScriptState script_;
};

std::vector<std::pair<int, int>> repeated(std::pair<int, int> move, int times) {
  return std::vector<std::pair<int, int>>(times, move);
}

std::vector<std::pair<int, int>> operator+(std::vector<std::pair<int, int>> a,
                                           const std::vector<std::pair<int, int>>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(MoveD, DiagonalThenStraightInOnePass) {
  script_.run("MoveD(110, 103, 1)");
  EXPECT_EQ(messages(), std::vector<std::string>{"当前坐标x:100 y:100  移动3  7个单位"});
  EXPECT_EQ(moves(), repeated({1, 1}, 3) + repeated({1, 0}, 7));
  // Every move is a movement report, the command's 2 ms, then the lifted report.
  const std::vector<std::string> lines = capture_.take();
  ASSERT_EQ(lines.size(), 30u);
  EXPECT_EQ(lines[0], "Mouse 00 00 01 01 00 00 00");
  EXPECT_EQ(lines[1], "sleep 2");
  EXPECT_EQ(lines[2], "Mouse 00 00 00 00 00 00 00");
  EXPECT_EQ(pointer_.x, 110);
  EXPECT_EQ(pointer_.y, 103);
  EXPECT_EQ(pointer_.reads, 2);  // the pass, then the stop test
}

TEST_F(MoveD, NearTargetReturnsAtOnceWithoutMessage) {
  script_.run("MoveD(104, 96, 1) MoveD(100, 100, 1)");
  EXPECT_TRUE(capture_.take().empty());
  EXPECT_TRUE(messages().empty());
}

TEST_F(MoveD, VerticalDistanceAloneStillMoves) {
  script_.run("MoveD(102, 130, 1)");
  EXPECT_EQ(moves(), repeated({1, 1}, 2) + repeated({0, 1}, 28));
  EXPECT_EQ(pointer_.x, 102);
  EXPECT_EQ(pointer_.y, 130);
}

TEST_F(MoveD, MovesUpAndLeftWithTheStep) {
  // A pointer that does not follow: one pass shows the reports, then MoveD gives up.
  pointer_.gain = 0;
  script_.run("MoveD(93, 80, 2)");
  EXPECT_EQ(messages(), std::vector<std::string>{"当前坐标x:100 y:100  移动7  13个单位"});
  EXPECT_EQ(moves(), repeated({-2, -2}, 7) + repeated({0, -2}, 13));
  EXPECT_EQ(pointer_.reads, 2);
}

TEST_F(MoveD, LaterPassesCorrectTheRemainder) {
  // A pointer that moves half a pixel per unit covers half the distance on each pass.
  pointer_.gain = 0.5;
  script_.run("MoveD(140, 100, 1)");
  EXPECT_EQ(messages(),
            (std::vector<std::string>{
                "当前坐标x:100 y:100  移动0  40个单位", "当前坐标x:120 y:100  移动0  20个单位",
                "当前坐标x:130 y:100  移动0  10个单位", "当前坐标x:135 y:100  移动0  5个单位"}));
  EXPECT_EQ(static_cast<int>(pointer_.x), 137);
}

TEST_F(MoveD, APointerThatMovesFurtherPerReportIsNotOvershotAgain) {
  // Two pixels per report: the first pass overshoots by the whole distance, the second
  // sends half as many reports and lands.
  pointer_.gain = 2;
  script_.run("MoveD(110, 100, 1)");
  EXPECT_EQ(messages(), (std::vector<std::string>{"当前坐标x:100 y:100  移动0  10个单位",
                                                  "当前坐标x:120 y:100  移动0  5个单位"}));
  EXPECT_EQ(moves(), repeated({1, 0}, 10) + repeated({-1, 0}, 5));
  EXPECT_EQ(pointer_.x, 110);
}

TEST_F(MoveD, PointerAccelerationEndsNearTheTargetInFewPasses) {
  // As X accelerates by default (twice as far beyond 4 units), at each step size.
  pointer_.threshold = 4;
  pointer_.acceleration = 2;
  struct Move {
    int step, x, y;
  };
  size_t sent = 0;
  for (const Move move : {Move{1, 500, 320}, Move{2, 100, 300}, Move{5, 900, 700}}) {
    SCOPED_TRACE(move.step);
    script_.run("MoveD(" + std::to_string(move.x) + ", " + std::to_string(move.y) + ", " +
                std::to_string(move.step) + ")");
    EXPECT_LT(std::abs(pointer_.x - move.x), 5);
    EXPECT_LT(std::abs(pointer_.y - move.y), 5);
    // No more than two passes' worth of the distance.
    EXPECT_LT(moves().size() - sent, 1600u);
    sent = moves().size();
  }
}

TEST_F(MoveD, APassThatBringsTheCursorNoCloserEndsIt) {
  // Gain 0.5 in the wrong direction: the cursor only ever moves away.
  pointer_.gain = -0.5;
  testing::internal::CaptureStderr();
  script_.run("MoveD(140, 100, 1)");
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(messages().size(), 1u);
  EXPECT_NE(said.find("no closer"), std::string::npos) << said;
}

TEST_F(MoveD, StepBelowOneReturnsWithoutMoving) {
  script_.run("MoveD(500, 500, 0) MoveD(500, 500) MoveD(500, 500, 0.9) MoveD(500, 500, -3)");
  EXPECT_TRUE(capture_.take().empty());
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(pointer_.reads, 0);
}

TEST_F(MoveD, TargetBeyondTheScreenIsTakenAtItsEdge) {
  pointer_.x = 1910;
  script_.run("MoveD(5000, 100, 1)");
  EXPECT_EQ(messages(), std::vector<std::string>{"当前坐标x:1910 y:100  移动0  9个单位"});
  EXPECT_EQ(pointer_.x, kWidth - 1);
}

TEST_F(MoveD, ArgumentsAreReadAsNumbers) {
  script_.run("MoveD('110', 103.9, '1')");
  EXPECT_EQ(moves(), repeated({1, 1}, 3) + repeated({1, 0}, 7));
}

TEST_F(MoveD, NoCursorNoMove) {
  pointer_.available = false;
  ::testing::internal::CaptureStderr();
  script_.run("MoveD(500, 500, 1)");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "MoveD: the cursor position is unavailable\n");
  EXPECT_TRUE(capture_.take().empty());
  EXPECT_EQ(script_.result_count("MoveD(500, 500, 1)"), 0);
}

}  // namespace
