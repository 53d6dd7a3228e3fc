// The chooser that every desktop seam shares: rows in order, the desktop filter, a wish by
// name, and the one text that lists each reason.
#include "platform/backend_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using tapline::platform::BackendRow;
using tapline::platform::BackendWish;
using tapline::platform::choose_backend;
using tapline::platform::Desktop;
using tapline::platform::Desktops;

std::vector<std::string> asked;

std::unique_ptr<int> refuse_a(std::string& why_not) {
  asked.push_back("a");
  why_not = "no a here";
  return nullptr;
}
std::unique_ptr<int> refuse_b(std::string& why_not) {
  asked.push_back("b");
  why_not = "b is asleep";
  return nullptr;
}
std::unique_ptr<int> open_c(std::string&) {
  asked.push_back("c");
  return std::make_unique<int>(3);
}
std::unique_ptr<int> open_d(std::string&) {
  asked.push_back("d");
  return std::make_unique<int>(4);
}

const BackendRow<std::unique_ptr<int>(std::string&)> kTable[] = {
    {"a", Desktops::wayland, refuse_a},
    {"b", Desktops::wayland, refuse_b},
    {"c", Desktops::either, open_c},
    {"d", Desktops::x11, open_d},
};

TEST(BackendTable, TheFirstRowThatOpensOnTheDesktopIsChosenAfterThoseThatRefused) {
  asked.clear();
  auto chosen = choose_backend(kTable, {Desktop::wayland});
  ASSERT_TRUE(chosen.made);
  EXPECT_EQ(*chosen.made, 3);
  EXPECT_STREQ(chosen.name, "c");
  EXPECT_EQ(asked, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(chosen.reasons(), "a: no a here; b: b is asleep");
}

TEST(BackendTable, RowsOfAnotherDesktopAreNotAsked) {
  asked.clear();
  auto chosen = choose_backend(kTable, {Desktop::x11});
  EXPECT_STREQ(chosen.name, "c");
  EXPECT_EQ(asked, (std::vector<std::string>{"c"}));
  EXPECT_EQ(chosen.reasons(), "");
}

TEST(BackendTable, AWishByNameAsksThatRowWhateverItsDesktop) {
  asked.clear();
  auto chosen = choose_backend(kTable, {Desktop::wayland, "d"});
  EXPECT_STREQ(chosen.name, "d");
  EXPECT_EQ(asked, (std::vector<std::string>{"d"}));
}

TEST(BackendTable, WhenNothingOpensEachReasonIsListedOnceInTheTablesOrder) {
  const BackendRow<std::unique_ptr<int>(std::string&)> refusing[] = {
      {"a", Desktops::either, refuse_a},
      {"b", Desktops::either, refuse_b},
  };
  auto chosen = choose_backend(refusing, {Desktop::x11});
  EXPECT_FALSE(chosen.made);
  EXPECT_EQ(chosen.name, nullptr);
  EXPECT_EQ(chosen.reasons(), "a: no a here; b: b is asleep");
  // One refusal: the seam's own line names the service, so the reason stands alone.
  EXPECT_EQ(choose_backend(refusing, {Desktop::x11, "b"}).reasons(), "b is asleep");
}

TEST(BackendTable, AWishForABackendThisBuildLacksSaysSo) {
  auto chosen = choose_backend(kTable, {Desktop::x11, "evdev"});
  EXPECT_FALSE(chosen.made);
  EXPECT_EQ(chosen.reasons(), "this build has no evdev backend");
}

// Rows whose open function takes arguments before why_not get them, as given.
std::unique_ptr<int> open_sum(int a, const int& b, std::string& why_not) {
  if (a + b == 0) {
    why_not = "nothing to add";
    return nullptr;
  }
  return std::make_unique<int>(a + b);
}

TEST(BackendTable, ArgumentsReachTheOpenFunction) {
  const BackendRow<std::unique_ptr<int>(int, const int&, std::string&)> table[] = {
      {"sum", Desktops::either, open_sum},
  };
  const int two = 2;
  EXPECT_EQ(*choose_backend(table, {Desktop::x11}, 1, two).made, 3);
  EXPECT_EQ(choose_backend(table, {Desktop::x11}, 0, 0).reasons(), "nothing to add");
}

}  // namespace
