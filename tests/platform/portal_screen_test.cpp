// The screen through the desktop portal, on a private headless sway with the portal's wlroots
// backend: the same answers as the picture source for the same picture, and the person's
// dialog (the backend's output chooser here) shown only on the first run.
#include "platform/screencast/portal_screen.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "child_process.h"
#include "desktop_session.h"
#include "image/png.h"
#include "program_run.h"
#include "screen_images.h"
#include "script_state.h"
#include "sway.h"

namespace {

using tapline::platform::open_portal_screen;
using tapline::platform::ScreenSource;
using tapline::platform::screencast::keep_restore_token;
using tapline::platform::screencast::portal_restore_token_path;
using tapline::testing::ChildOptions;
using tapline::testing::ChildOutput;
using tapline::testing::ChildProcess;
using tapline::testing::DesktopSession;
using tapline::testing::eventually;
using tapline::testing::Image;
using tapline::testing::SwayServer;
using tapline::testing::TempDir;

constexpr const char* kPortal = "/usr/libexec/xdg-desktop-portal";
constexpr const char* kPortalBackend = "/usr/libexec/xdg-desktop-portal-wlr";
constexpr const char* kPermissionStore = "/usr/libexec/xdg-permission-store";

std::string skip_reason() {
  for (const char* program : {kPortal, kPortalBackend, kPermissionStore})
    if (access(program, X_OK) != 0)
      return std::string(program) + " is not installed (scripts/install-deps installs it)";
  const std::string sway = SwayServer::skip_reason();
  return sway.empty() ? DesktopSession::skip_reason() : sway;
}

// The portal and its wlroots backend in a private session on `sway`. The backend's output
// chooser stands in for the person: it takes a moment to answer, notes each time it is
// asked, and chooses the first output.
class PortalDesktop {
 public:
  explicit PortalDesktop(const SwayServer& sway)
      : session_({"WAYLAND_DISPLAY=" + sway.wayland_display(), "XDG_CURRENT_DESKTOP=sway"}) {
    const std::string config = session_.runtime_dir() + "/portal-backend.conf";
    std::ofstream(config) << "[screencast]\nchooser_type=simple\nchooser_cmd=sleep 1.5 && echo >> "
                          << asked_file() << " && echo HEADLESS-1\n";
    session_.start("permission-store", {kPermissionStore},
                   "org.freedesktop.impl.portal.PermissionStore");
    session_.start("portal-backend", {kPortalBackend, "-c", config},
                   "org.freedesktop.impl.portal.desktop.wlr",
                   {"LD_PRELOAD=" TAPLINE_SCREENCOPY_PRELOAD});
    session_.start("portal", {kPortal}, "org.freedesktop.portal.Desktop");
  }

  const DesktopSession& session() const { return session_; }
  int times_asked() const {
    std::ifstream file(asked_file());
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(file), {}, '\n'));
  }

 private:
  std::string asked_file() const { return session_.runtime_dir() + "/asked"; }

  DesktopSession session_;
};

// swaybg showing `arguments` on the compositor, ended by its pid.
std::unique_ptr<ChildProcess> background(const SwayServer& sway,
                                         std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"swaybg", "-o", "HEADLESS-1"});
  ChildOptions options;
  options.environment = sway.client_environment();
  options.out = options.err = ChildOutput::Discard;
  return std::make_unique<ChildProcess>(arguments, options);
}

// Repaints the whole output without changing it. The portal's wlroots backend copies only
// what changed since its last copy, and it may lose the very first frame of a stream while
// the stream settles: on a still screen no frame would come then.
void poke(const SwayServer& sway) {
  sway.swaymsg({"output", "HEADLESS-1", "dpms", "off"});
  sway.swaymsg({"output", "HEADLESS-1", "dpms", "on"});
}

// True once the source has a frame; each look waits a few seconds at most.
bool first_frame(const SwayServer& sway, ScreenSource& source) {
  return eventually(
      [&] {
        poke(sway);
        return source.pixel({0, 0}).has_value();
      },
      3);
}

void write_png(const Image& image, const std::string& path) {
  tapline::image::RgbPicture picture{image.width, image.height, {}};
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      for (int shift : {0, 8, 16}) picture.bytes.push_back((image.get(x, y) >> shift) & 0xFF);
  std::string error;
  ASSERT_TRUE(tapline::image::write_png(path.c_str(), picture, error)) << error;
}

// What the screen functions answer on the current screen.
std::vector<std::vector<int64_t>> answers() {
  tapline::testing::ScriptState script;
  std::vector<std::vector<int64_t>> all;
  for (const char* code : {"GetScreenResolution()", "GetColor(517, 301)", "GetColor(639, 479)",
                           "GetColor(640, 1)", "FindColor(0xABCDEF)", "FindColor(0x010203)",
                           "FindColor(0x1E5A3C, 100, 100, 600, 400)", "FindColor(0x777777)"})
    all.push_back(script.integers(code));
  return all;
}

std::unique_ptr<ScreenSource> open_portal(std::string& errors) {
  std::string why_not;
  ::testing::internal::CaptureStderr();
  auto source = open_portal_screen(why_not);
  errors = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(source) << why_not;
  return source;
}

TEST(PortalScreen, SeesThePictureAsThePictureSourceDoesAndAsksOnlyOnce) {
  if (const std::string reason = skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
  tapline::testing::SwayOptions options;
  options.outputs = {"640x480"};
  SwayServer sway(options);
  Image image(640, 480, 0x303030);
  image.fill(120, 90, 300, 200, 0x1E5A3C);
  image.set(517, 301, 0xABCDEF);
  image.set(3, 400, 0xABCDEF);
  image.set(639, 479, 0x010203);
  const std::string png = sway.runtime_dir() + "/picture.png";  // readable by the compositor
  write_png(image, png);
  tapline::testing::TempDir dir;
  const std::string bmp = dir.write("picture.bmp", tapline::testing::make_bmp(image));
  auto shown = background(sway, {"-i", png, "-m", "center"});

  PortalDesktop desktop(sway);
  setenv("DBUS_SESSION_BUS_ADDRESS", desktop.session().bus_address().c_str(), 1);
  setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
  const std::string token_path = portal_restore_token_path();
  EXPECT_EQ(token_path, dir.file("state") + "/tapline/screencast-restore-token");

  std::string errors;
  {
    const auto portal = open_portal(errors);
    ASSERT_TRUE(portal);
    EXPECT_NE(errors.find("waiting for the desktop's screen sharing dialog"), std::string::npos)
        << errors;
    ASSERT_TRUE(first_frame(sway, *portal));
    ASSERT_TRUE(eventually(
        [&] {
          poke(sway);
          return portal->pixel({517, 301}) == 0xABCDEFu;
        },
        100));

    std::string why_not_picture;
    const auto picture = tapline::platform::open_picture_screen(bmp.c_str(), why_not_picture);
    ASSERT_TRUE(picture) << why_not_picture;
    tapline::platform::set_screen(picture.get());
    const auto expected = answers();
    tapline::platform::set_screen(portal.get());
    EXPECT_EQ(answers(), expected);
    tapline::platform::set_screen(nullptr);
    EXPECT_EQ(expected[0], (std::vector<int64_t>{640, 480}));

    tapline::image::PixelView grabbed;
    ASSERT_TRUE(portal->grab(640, 480, grabbed));
    int differing = 0;
    for (int y = 0; y < 480; ++y)
      for (int x = 0; x < 640; ++x)
        differing += tapline::image::color_of(grabbed.row(y)[x]) != image.get(x, y);
    EXPECT_EQ(differing, 0);
  }
  std::ifstream token_file(token_path);
  std::string token;
  EXPECT_TRUE(std::getline(token_file, token) && !token.empty()) << token_path;
  EXPECT_EQ(desktop.times_asked(), 1);

  // The next run brings the token, is not asked, and sees the screen as it is now.
  shown.reset();
  shown = background(sway, {"-c", "#3C5A1E"});
  const auto again = open_portal(errors);
  ASSERT_TRUE(again);
  EXPECT_EQ(errors.find("waiting for"), std::string::npos) << errors;
  EXPECT_EQ(desktop.times_asked(), 1);
  ASSERT_TRUE(first_frame(sway, *again));
  EXPECT_TRUE(eventually(
      [&] {
        poke(sway);
        return again->pixel({517, 301}) == 0x1E5A3Cu;
      },
      100));
}

TEST(PortalScreen, SaysWhatIsMissing) {
  if (const std::string reason = DesktopSession::skip_reason(); !reason.empty())
    GTEST_SKIP() << reason;
  std::string why_not;
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  EXPECT_FALSE(open_portal_screen(why_not));
  EXPECT_NE(why_not.find("DBUS_SESSION_BUS_ADDRESS"), std::string::npos) << why_not;

  const DesktopSession session;
  setenv("DBUS_SESSION_BUS_ADDRESS", session.bus_address().c_str(), 1);
  EXPECT_FALSE(open_portal_screen(why_not));
  EXPECT_EQ(why_not.rfind("no desktop portal is running: install xdg-desktop-portal and the "
                          "portal backend of your desktop",
                          0),
            0u)
      << why_not;
}

TEST(PortalScreen, KeepsTheTokenForTheUserAloneWhateverTheFolderAndUmask) {
  const TempDir dir;
  const std::string folder = dir.file("tapline");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  const mode_t umask_before = umask(022);
  keep_restore_token(folder + "/screencast-restore-token", "first");
  keep_restore_token(folder + "/screencast-restore-token", "second");
  umask(umask_before);

  struct stat info {};
  ASSERT_EQ(stat((folder + "/screencast-restore-token").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  std::ifstream file(folder + "/screencast-restore-token");
  std::string token;
  EXPECT_TRUE(std::getline(file, token));
  EXPECT_EQ(token, "second");
}

}  // namespace
