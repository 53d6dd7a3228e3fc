// The output layout as a compositor's events describe it, without a compositor: each
// output is told in the order wl_output sends its events, the scale after the mode.
#include <gtest/gtest.h>
#include <wayland-client-protocol.h>

#include "platform/wayland/display.h"

namespace {

using tapline::platform::wayland::bounding_box;
using tapline::platform::wayland::LayoutBox;
using tapline::platform::wayland::OutputDescription;
using tapline::platform::wayland::OutputPlace;

// An output as wl_output alone describes it, complete at its done.
OutputPlace described(int x, int y, int mode_width, int mode_height, int scale, int transform) {
  OutputDescription description;
  description.geometry(x, y, transform);
  description.mode(mode_width, mode_height, 60000);
  description.scale(scale);
  OutputPlace place;
  EXPECT_TRUE(description.done(place));
  return place;
}

TEST(WaylandLayout, WithoutXdgOutputTheModeIsTurnedAndDividedByTheScale) {
  struct Case {
    const char* what;
    int mode_width, mode_height, scale, transform;
    int width, height;
  };
  for (const Case& c : {
           Case{"plain", 1280, 720, 1, WL_OUTPUT_TRANSFORM_NORMAL, 1280, 720},
           Case{"scaled 2", 2560, 1440, 2, WL_OUTPUT_TRANSFORM_NORMAL, 1280, 720},
           Case{"turned 90", 1920, 1080, 1, WL_OUTPUT_TRANSFORM_90, 1080, 1920},
           Case{"turned 180", 1920, 1080, 1, WL_OUTPUT_TRANSFORM_180, 1920, 1080},
           Case{"turned 270, scaled 2", 3840, 2160, 2, WL_OUTPUT_TRANSFORM_270, 1080, 1920},
           Case{"flipped, turned 270", 1920, 1080, 1, WL_OUTPUT_TRANSFORM_FLIPPED_270, 1080, 1920},
       }) {
    const OutputPlace place = described(0, 0, c.mode_width, c.mode_height, c.scale, c.transform);
    EXPECT_EQ(place.width, c.width) << c.what;
    EXPECT_EQ(place.height, c.height) << c.what;
    EXPECT_EQ(place.mode_width, c.mode_width) << c.what << ": the pixels stay as they are";
    EXPECT_EQ(place.transform, c.transform) << c.what;
  }
}

TEST(WaylandLayout, TwoOutputsSideBySide) {
  const OutputPlace left = described(0, 0, 2560, 1440, 2, WL_OUTPUT_TRANSFORM_NORMAL);
  const OutputPlace right = described(1280, 0, 1920, 1080, 1, WL_OUTPUT_TRANSFORM_90);
  const LayoutBox box = bounding_box({left, right});
  EXPECT_EQ(box.x, 0);
  EXPECT_EQ(box.y, 0);
  EXPECT_EQ(box.width, 1280 + 1080);
  EXPECT_EQ(box.height, 1920);
}

TEST(WaylandLayout, AnOutputChangesAtItsNextDone) {
  OutputDescription description;
  OutputPlace place;
  description.geometry(0, 0, WL_OUTPUT_TRANSFORM_NORMAL);
  EXPECT_FALSE(description.done(place)) << "no mode yet";
  description.mode(2560, 1440, 60000);
  description.scale(2);
  ASSERT_TRUE(description.done(place));
  EXPECT_EQ(place.width, 1280);

  // The user turns the output and sets its scale back to 1.
  description.geometry(0, 0, WL_OUTPUT_TRANSFORM_270);
  description.scale(1);
  ASSERT_TRUE(description.done(place));
  EXPECT_EQ(place.width, 1440);
  EXPECT_EQ(place.height, 2560);
}

TEST(WaylandLayout, XdgOutputGivesTheLogicalRectangleAndName) {
  OutputDescription description;
  description.name("WL-1");
  description.logical_position(100, 50);
  description.geometry(0, 0, WL_OUTPUT_TRANSFORM_90);  // wl_output's position is not the layout's
  description.mode(1920, 1080, 60000);
  description.scale(2);
  description.logical_size(720, 1280);  // a fractional scale of 1.5, which wl_output rounds
  description.xdg_name("DP-2");
  OutputPlace place;
  ASSERT_TRUE(description.done(place));
  EXPECT_EQ(place.name, "DP-2");
  EXPECT_EQ(place.x, 100);
  EXPECT_EQ(place.y, 50);
  EXPECT_EQ(place.width, 720);
  EXPECT_EQ(place.height, 1280);
}

}  // namespace
