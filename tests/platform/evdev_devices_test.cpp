// The input device folder as EvdevDevices follows it, on folders of the test's own: event
// nodes there are plain files, which are never opened as devices.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/evdev/devices.h"
#include "program_run.h"

namespace {

using tapline::platform::EvdevDevices;
using tapline::testing::TempDir;

bool readable(int fd) {
  pollfd wait{fd, POLLIN, 0};
  return poll(&wait, 1, 0) == 1;
}

TEST(EvdevDevices, AFolderMadeLaterIsWatchedFromThenOn) {
  const TempDir dir;
  const std::string folder = dir.file("input");
  EvdevDevices devices(folder);
  EXPECT_FALSE(devices.unwatched());
  EXPECT_FALSE(devices.update());

  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  EXPECT_TRUE(devices.update());
  EXPECT_TRUE(readable(devices.changed_fd()));
  dir.write("input/event0", "");
  EXPECT_TRUE(devices.update());
  EXPECT_EQ(devices.open_devices(), 0);

  // Gone, and back again.
  ASSERT_EQ(unlink((folder + "/event0").c_str()), 0);
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_TRUE(devices.update());
  EXPECT_FALSE(devices.unwatched());
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  EXPECT_TRUE(devices.update());
  dir.write("input/event1", "");
  EXPECT_TRUE(devices.update());
}

TEST(EvdevDevices, AFolderWithoutParentCannotBeWatched) {
  const TempDir dir;
  EvdevDevices devices(dir.file("none/input"));
  EXPECT_TRUE(devices.unwatched());
  EXPECT_EQ(devices.watch_error(), ENOENT);
}

}  // namespace
