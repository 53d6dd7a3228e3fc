// The screen of KWin (KDE Plasma) through its ScreenShot2 D-Bus interface: each read is a
// fresh picture of the workspace, raw pixels through a pipe, with no dialog. KWin hands it
// only to programs that an application .desktop file names (X-KDE-DBUS-Restricted-Interfaces),
// matched by the absolute path of the program: the installed tapline has one.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "image/pixel_formats.h"
#include "platform/kde/kwin_script.h"
#include "platform/screen_source.h"
#include "platform/wm_ipc/json.h"
#include "system/console.h"
#include "system/stop_request.h"

namespace tapline::platform {
namespace {

using dbus::Bus;
using dbus::Message;
using image::PixelLayout;
using Clock = std::chrono::steady_clock;

constexpr const char* kScreenShotPath = "/org/kde/KWin/ScreenShot2";
constexpr const char* kScreenShotInterface = "org.kde.KWin.ScreenShot2";
constexpr const char* kNotAuthorized = "org.kde.KWin.ScreenShot2.Error.NoAuthorized";
constexpr std::chrono::milliseconds kCaptureBound{5000};
// The size of the screen is that of a picture at most this old...
constexpr std::chrono::milliseconds kSizeKept{1000};
// ... and a picture taken for the size serves the grab that follows it at once.
constexpr std::chrono::milliseconds kFreshForGrab{100};
// The largest picture taken in (16384 x 8192 pixels).
constexpr size_t kMostBytes = size_t{1} << 29;

// The pixel layout of a QImage format number, as KWin names its pictures' pixels.
std::optional<PixelLayout> layout_of(uint32_t format) {
  switch (format) {
    case 4:  // RGB32
    case 5:  // ARGB32
    case 6:  // ARGB32_Premultiplied
      return PixelLayout::xrgb8888;
    case 16:  // RGBX8888
    case 17:  // RGBA8888
    case 18:  // RGBA8888_Premultiplied
      return PixelLayout::xbgr8888;
    case 19:  // BGR30
    case 20:  // A2BGR30_Premultiplied
      return PixelLayout::xbgr2101010;
    case 21:  // RGB30
    case 22:  // A2RGB30_Premultiplied
      return PixelLayout::xrgb2101010;
    default:
      return std::nullopt;
  }
}

std::string program_path() {
  std::array<char, PATH_MAX> path{};
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  return length > 0 ? std::string(path.data(), static_cast<size_t>(length)) : "this program";
}

// One picture as KWin delivered it: native pixels, `scale` of them per logical pixel.
struct Picture {
  std::vector<uint32_t> raw;
  int width = 0, height = 0;
  ptrdiff_t stride = 0;  // in pixels
  PixelLayout layout = PixelLayout::xrgb8888;
  double scale = 1;
  Clock::time_point taken;
  bool for_size = false;  // taken by size(), not yet grabbed

  ScreenSize logical() const {
    return {static_cast<int>(std::lround(width / scale)),
            static_cast<int>(std::lround(height / scale))};
  }
  const uint32_t* line(int y) const { return raw.data() + y * stride; }
};

class KWinScreen final : public ScreenSource {
 public:
  explicit KWinScreen(Bus bus) : bus_(std::move(bus)) {}

  // One picture through `member` (CaptureWorkspace or CaptureArea), whose arguments before
  // the options `append` adds; false with the reason when KWin gives none.
  template <typename Append>
  bool capture(const char* member, Append append, Picture& picture, std::string& why_not);

  ScreenSize size() override {
    if (!picture_.raw.empty() && Clock::now() - picture_.taken < kSizeKept)
      return picture_.logical();
    if (!take_workspace()) return {};
    picture_.for_size = true;
    return picture_.logical();
  }

  std::optional<ScreenPoint> cursor() override {
    std::string why_not;
    if (!script_ && !said_cursor_) script_ = kde::KWinScript::open(why_not);
    std::optional<std::string> answer;
    if (script_)
      answer = script_->run("const p = workspace.cursorPos; answer(JSON.stringify(p));", why_not);
    const auto parsed = answer ? parse_json(*answer) : std::nullopt;
    if (!parsed || !parsed->object()) {
      if (!said_cursor_)
        system::console_diagnostic("screen: KWin does not tell the pointer position: %s\n",
                                   why_not.c_str());
      said_cursor_ = true;
      return std::nullopt;
    }
    return ScreenPoint{parsed->integer_member("x"), parsed->integer_member("y")};
  }

  std::optional<ColorValue> pixel(ScreenPoint point) override {
    // KWin never answers for an area off every output.
    const ScreenSize box = size();
    if (point.x < 0 || point.y < 0 || point.x >= box.width || point.y >= box.height)
      return std::nullopt;
    // The picture the size was just read from serves as well as a new one.
    if (picture_.for_size && Clock::now() - picture_.taken < kFreshForGrab) {
      const ScreenSize logical = picture_.logical();
      const uint32_t raw = picture_.line(static_cast<int>(
          static_cast<int64_t>(point.y) * picture_.height /
          logical.height))[static_cast<int64_t>(point.x) * picture_.width / logical.width];
      return image::color_of(image::convert_pixel(picture_.layout, raw));
    }
    Picture one;
    std::string why_not;
    const bool taken = capture(
        "CaptureArea",
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "iiuu", point.x, point.y, 1, 1); },
        one, why_not);
    if (!taken) {
      said(why_not);
      return std::nullopt;
    }
    if (one.width <= 0 || one.height <= 0) return std::nullopt;
    return image::color_of(image::convert_pixel(one.layout, one.line(0)[0]));
  }

  bool grab(int width, int height, PixelView& out) override {
    out = PixelView{};
    const bool fresh = picture_.for_size && Clock::now() - picture_.taken < kFreshForGrab;
    if (!fresh && !take_workspace()) return false;
    picture_.for_size = false;
    const ScreenSize logical = picture_.logical();
    if (width <= 0 || height <= 0 || width > logical.width || height > logical.height) return false;
    const Picture& p = picture_;
    if (p.layout == PixelLayout::xrgb8888 && p.width == logical.width &&
        p.height == logical.height) {
      out = PixelView{p.raw.data(), p.stride, width, height};
      return true;
    }
    // Converted, and a scaled picture sampled at the nearest native pixel, so that every
    // colour is one the screen shows.
    composed_.resize(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      const uint32_t* line =
          p.line(static_cast<int>(static_cast<int64_t>(y) * p.height / logical.height));
      Pixel* row = composed_.data() + static_cast<ptrdiff_t>(y) * width;
      if (p.width == logical.width) {
        image::convert_pixels(p.layout, line, row, width);
        continue;
      }
      for (int x = 0; x < width; ++x)
        row[x] =
            image::convert_pixel(p.layout, line[static_cast<int64_t>(x) * p.width / logical.width]);
    }
    out = PixelView{composed_.data(), width, width, height};
    return true;
  }

 private:
  bool take_workspace() {
    std::string why_not;
    if (capture(
            "CaptureWorkspace", [](sd_bus_message*) { return 0; }, picture_, why_not))
      return true;
    picture_.raw.clear();
    said(why_not);
    return false;
  }
  // A picture that did not come is said once: the screen reads as unknown from then on
  // while KWin keeps refusing.
  void said(const std::string& why_not) {
    if (said_capture_) return;
    said_capture_ = true;
    system::console_diagnostic("screen: KWin gave no picture: %s\n", why_not.c_str());
  }

  Bus bus_;
  std::unique_ptr<kde::KWinScript> script_;  // for the pointer position, opened at first use
  Picture picture_;
  std::vector<Pixel> composed_;
  bool said_capture_ = false;
  bool said_cursor_ = false;
};

// Reads the reply's dictionary: width, height, stride, format, scale.
bool read_reply(sd_bus_message* reply, Picture& picture, std::string& why_not) {
  uint32_t width = 0, height = 0, stride = 0, format = 0;
  double scale = 1;
  if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) return false;
  while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(reply, "s", &key) < 0) return false;
    const std::string name = key;
    int read = 0;
    if (name == "width")
      read = sd_bus_message_read(reply, "v", "u", &width);
    else if (name == "height")
      read = sd_bus_message_read(reply, "v", "u", &height);
    else if (name == "stride")
      read = sd_bus_message_read(reply, "v", "u", &stride);
    else if (name == "format")
      read = sd_bus_message_read(reply, "v", "u", &format);
    else if (name == "scale")
      read = sd_bus_message_read(reply, "v", "d", &scale);
    else
      read = sd_bus_message_skip(reply, "v");
    if (read < 0 || sd_bus_message_exit_container(reply) < 0) return false;
  }
  const auto layout = layout_of(format);
  if (!layout) {
    why_not =
        "KWin sent pixels of an unknown layout (QImage format " + std::to_string(format) + ")";
    return false;
  }
  if (stride % 4 != 0 || stride / 4 < width || !(scale > 0) || width > 16384 || height > 16384) {
    why_not = "KWin described its picture inconsistently";
    return false;
  }
  picture.width = static_cast<int>(width);
  picture.height = static_cast<int>(height);
  picture.stride = static_cast<ptrdiff_t>(stride / 4);
  picture.layout = *layout;
  picture.scale = scale;
  return true;
}

struct PendingReply {
  Message reply;
  static int on_reply(sd_bus_message* message, void* self, sd_bus_error*) {
    static_cast<PendingReply*>(self)->reply.reset(sd_bus_message_ref(message));
    return 0;
  }
};

template <typename Append>
bool KWinScreen::capture(const char* member, Append append, Picture& picture,
                         std::string& why_not) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) < 0) {
    why_not = std::string("no pipe for the picture: ") + std::strerror(errno);
    return false;
  }
  const int reading = ends[0];
  sd_bus* bus = bus_.get();
  Message call =
      dbus::new_method_call(bus, kde::kKWinName, kScreenShotPath, kScreenShotInterface, member);
  // Native pixels: KWin's own scaling to logical size would blend colours.
  const bool built =
      call && append(call.get()) >= 0 &&
      sd_bus_message_append(call.get(), "a{sv}", 1, "native-resolution", "b", 1) >= 0 &&
      sd_bus_message_append(call.get(), "h", ends[1]) >= 0;
  // The message holds a copy of the write end; KWin's closing of its copy ends the picture
  // only once both of ours are gone.
  close(ends[1]);
  PendingReply pending;
  dbus::Slot slot;
  sd_bus_slot* made = nullptr;
  if (!built || sd_bus_call_async(bus, &made, call.get(), PendingReply::on_reply, &pending,
                                  kCaptureBound.count() * 1000) < 0) {
    close(reading);
    why_not = "cannot build a D-Bus call";
    return false;
  }
  slot.reset(made);
  call.reset();
  sd_bus_flush(bus);
  fcntl(reading, F_SETFL, O_NONBLOCK);

  // Read straight into the picture's pixels.
  std::vector<uint32_t>& words = picture.raw;
  size_t filled = 0;  // bytes
  bool ended = false;
  const auto deadline = Clock::now() + kCaptureBound;
  bool ok = true;
  while (ok && (!pending.reply || !ended)) {
    if (sd_bus_process(bus, nullptr) > 0) continue;
    while (!ended) {
      if (words.size() * 4 - filled < 65536) {
        if (words.size() * 4 >= kMostBytes) {
          why_not = "KWin's picture is larger than " + std::to_string(kMostBytes) + " bytes";
          ok = false;
          break;
        }
        words.resize(std::max<size_t>(words.size() * 2, 1 << 18));
      }
      const ssize_t got = read(reading, reinterpret_cast<uint8_t*>(words.data()) + filled,
                               words.size() * 4 - filled);
      if (got > 0) {
        filled += static_cast<size_t>(got);
      } else if (got == 0) {
        ended = true;
      } else {
        if (errno != EAGAIN && errno != EINTR) ended = true;
        break;
      }
    }
    if (!ok || (pending.reply && ended)) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      why_not = std::string(member) + ": no picture within 5 s";
      ok = false;
      break;
    }
    pollfd waits[3] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                       {ended ? -1 : reading, POLLIN, 0},
                       {system::stop_wake_fd(), POLLIN, 0}};
    poll(waits, 3, static_cast<int>(left));
    if ((waits[2].revents & POLLIN) != 0) {
      why_not = "stopped while waiting for KWin's picture";
      ok = false;
    }
  }
  close(reading);
  if (!ok) return false;
  sd_bus_message* reply = pending.reply.get();
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    why_not = std::string(member) + ": " + dbus::bus_error_text(error, 0);
    if (sd_bus_error_has_name(error, kNotAuthorized))
      why_not =
          "KWin grants its screenshots only to programs that a .desktop file names, and "
          "none names " +
          program_path() +
          ": run the installed tapline (cmake --install or the package put its grant in "
          "share/applications/tapline.desktop)";
    return false;
  }
  if (!read_reply(reply, picture, why_not)) {
    if (why_not.empty()) why_not = std::string(member) + " gave an unreadable answer";
    return false;
  }
  const size_t needed = static_cast<size_t>(picture.stride) * 4 * picture.height;
  if (filled < needed) {
    why_not = std::string(member) + ": the picture came incomplete";
    return false;
  }
  words.resize(needed / 4);
  picture.taken = Clock::now();
  return true;
}

}  // namespace

std::unique_ptr<ScreenSource> open_kwin_screen(std::string& why_not) {
  Bus bus = kde::open_kwin_bus(why_not);
  if (!bus) return nullptr;
  auto screen = std::make_unique<KWinScreen>(std::move(bus));
  // One pixel tells whether KWin grants its screenshots to this program at all.
  Picture probe;
  if (!screen->capture(
          "CaptureArea",
          [](sd_bus_message* m) { return sd_bus_message_append(m, "iiuu", 0, 0, 1, 1); }, probe,
          why_not))
    return nullptr;
  return screen;
}

}  // namespace tapline::platform
