// Stop requests: a signal only records the request; sleeps wake early and the stop
// action runs once, at a safe point, with the sleeps inside it holding their time.
#include "system/stop_request.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "system/clock.h"

namespace tapline::system {
namespace {

int actions_run = 0;
int action_signal = 0;
bool stopping_inside_action = false;

void record_action(int signal) {
  ++actions_run;
  action_signal = signal;
  stopping_inside_action = stopping();
  // A sleep inside the action neither wakes early nor runs the action again.
  sleep_ms(1);
}

class StopRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_stop_handlers(record_action);
    clear_stop_request();
    actions_run = 0;
    action_signal = 0;
  }
  void TearDown() override { clear_stop_request(); }
};

TEST_F(StopRequestTest, ASignalOnlyRecordsTheRequest) {
  std::raise(SIGTERM);
  EXPECT_TRUE(stop_requested());
  EXPECT_EQ(SIGTERM, stop_signal());
  EXPECT_EQ(0, actions_run);  // nothing happens inside the handler
}

TEST_F(StopRequestTest, TheFirstSignalCounts) {
  std::raise(SIGINT);
  std::raise(SIGTERM);
  EXPECT_EQ(SIGINT, stop_signal());
}

TEST_F(StopRequestTest, ASleepWakesAtOnceAndRunsTheActionOnce) {
  std::raise(SIGINT);
  // An hour's sleep: the test would hit its time-out if the request did not end it.
  sleep_ms(3600 * 1000);
  EXPECT_EQ(1, actions_run);
  EXPECT_EQ(SIGINT, action_signal);
  EXPECT_TRUE(stopping_inside_action);
  EXPECT_FALSE(stopping());
  sleep_ms(0);
  check_stop();
  EXPECT_EQ(1, actions_run);
}

TEST_F(StopRequestTest, WithoutARequestCheckStopDoesNothing) {
  check_stop();
  sleep_ms(1);
  EXPECT_EQ(0, actions_run);
  EXPECT_FALSE(stop_requested());
}

TEST_F(StopRequestTest, OtherThreadsSeeTheRequestButNeverRunTheAction) {
  std::raise(SIGINT);
  std::thread helper([] {
    sleep_ms(3600 * 1000);  // wakes early all the same
    check_stop();
  });
  helper.join();
  EXPECT_EQ(0, actions_run);
  check_stop();
  EXPECT_EQ(1, actions_run);
}

}  // namespace
}  // namespace tapline::system
