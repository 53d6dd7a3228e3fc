#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <vector>

#include "image/channel_mask.h"
#include "platform/screen_source.h"
#include "platform/x11/display.h"
#include "platform/x11/error_trap.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

using image::ChannelMasks;
using image::color_of;

// Set by the error handler that is installed while the shared segment is attached: a
// server that cannot reach our memory (a remote display) refuses the attach.
std::atomic<bool> attach_refused{false};
int note_attach_error(Display*, XErrorEvent*) {
  attach_refused = true;
  return 0;
}

uint32_t raw_pixel(const uint8_t* p, int bytes, bool msb_first) {
  uint32_t raw = 0;
  if (msb_first) {
    for (int i = 0; i < bytes; ++i) raw = (raw << 8) | p[i];
  } else {
    for (int i = bytes - 1; i >= 0; --i) raw = (raw << 8) | p[i];
  }
  return raw;
}

// Converts rows y_begin .. y_end - 1 of `width` pixels of a ZPixmap image into our pixels,
// `out` holding rows of `width` pixels from row 0.
void convert_image(const XImage* image, const ChannelMasks& masks, int width, int y_begin,
                   int y_end, Pixel* out) {
  const int bytes = image->bits_per_pixel / 8;
  const bool msb_first = image->byte_order == MSBFirst;
  for (int y = y_begin; y < y_end; ++y) {
    const auto* src = reinterpret_cast<const uint8_t*>(image->data) +
                      static_cast<ptrdiff_t>(y) * image->bytes_per_line;
    Pixel* dst = out + static_cast<ptrdiff_t>(y) * width;
    for (int x = 0; x < width; ++x)
      dst[x] = masks.pixel(raw_pixel(src + x * bytes, bytes, msb_first));
  }
}

class X11Screen final : public ScreenSource {
 public:
  X11Screen(Display* given, bool allow_shared_memory)
      : given_(given), allow_shared_memory_(allow_shared_memory) {}

  ~X11Screen() override {
    release_shared();
    release_plain();
  }

  ScreenSize size() override {
    Display* d = display();
    if (d == nullptr) return {};
    const int number = DefaultScreen(d);
    return {DisplayWidth(d, number), DisplayHeight(d, number)};
  }

  std::optional<ScreenPoint> cursor() override {
    Display* d = display();
    if (d == nullptr) return std::nullopt;
    Window root_return, child_return;
    int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &root_return, &child_return, &root_x, &root_y,
                       &win_x, &win_y, &mask))
      return std::nullopt;
    return ScreenPoint{root_x, root_y};
  }

  std::optional<ColorValue> pixel(ScreenPoint point) override {
    Display* d = display();
    if (d == nullptr || !learn_format(d)) return std::nullopt;
    const ScreenSize screen = size();
    // The server answers a read outside the root window with an error, not a colour.
    if (point.x < 0 || point.y < 0 || point.x >= screen.width || point.y >= screen.height)
      return std::nullopt;
    XImage* image = nullptr;
    {
      X11ErrorTrap trap(d);
      image = XGetImage(d, DefaultRootWindow(d), point.x, point.y, 1, 1, AllPlanes, ZPixmap);
      if (trap.failed()) note_refused_read();
    }
    if (image == nullptr) return std::nullopt;
    const bool readable = supported(image);
    Pixel value = 0;
    if (readable) convert_image(image, masks_, 1, 0, 1, &value);
    XDestroyImage(image);
    if (!readable) return std::nullopt;
    return color_of(value);
  }

  bool grab(int width, int height, PixelView& out) override {
    out = PixelView{};
    Display* d = display();
    if (d == nullptr || width <= 0 || height <= 0 || !learn_format(d)) return false;
    if (grab_shared(d, width, height, out)) return true;
    return grab_plain(d, width, height, out);
  }

 private:
  Display* display() { return given_ ? given_ : x11_display(); }

  // The root window's visual must be a true-colour one: its pixels carry their colour.
  bool learn_format(Display* d) {
    if (format_known_) return format_usable_;
    format_known_ = true;
    Visual* visual = DefaultVisual(d, DefaultScreen(d));
    const int visual_class = visual->c_class;
    format_usable_ = (visual_class == TrueColor || visual_class == DirectColor) &&
                     masks_.set(static_cast<uint32_t>(visual->red_mask),
                                static_cast<uint32_t>(visual->green_mask),
                                static_cast<uint32_t>(visual->blue_mask));
    if (!format_usable_)
      system::console_diagnostic(
          "the X11 screen's colour format is not supported; screen reads "
          "give no colours\n");
    return format_usable_;
  }

  static bool supported(const XImage* image) {
    const int bpp = image->bits_per_pixel;
    return image->format == ZPixmap && (bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32);
  }

  bool is_direct(const XImage* image) const {
    return image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
           std::endian::native == std::endian::little && masks_.is_plain_bgr() &&
           image->bytes_per_line % 4 == 0;
  }

  // Our pixels of an image: where they lie when the format allows, else converted into
  // the reusable buffer.
  void view_image(const XImage* image, int width, int height, PixelView& out) {
    out.width = width;
    out.height = height;
    if (is_direct(image)) {
      out.top = reinterpret_cast<const Pixel*>(image->data);
      out.row_step = image->bytes_per_line / 4;
      return;
    }
    const size_t needed = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (converted_.size() < needed) converted_.resize(needed);
    convert_image(image, masks_, width, 0, height, converted_.data());
    out.top = converted_.data();
    out.row_step = width;
  }

  bool grab_shared(Display* d, int width, int height, PixelView& out) {
    if (!allow_shared_memory_ || shared_refused_) return false;
    if (shared_image_ == nullptr || width > shared_width_ || height > shared_height_) {
      release_shared();
      if (!create_shared(d)) {
        shared_refused_ = true;
        return false;
      }
      if (width > shared_width_ || height > shared_height_) return false;
      track_damage(d);
    }
    if (damage_ != 0) return grab_tracked(d, width, height, out);
    // The segment holds the whole screen; a smaller grab packs its rows for its own width.
    XImage* image = shared_image_;
    image->width = width;
    image->height = height;
    image->bytes_per_line = (width * image->bits_per_pixel + image->bitmap_pad - 1) /
                            image->bitmap_pad * image->bitmap_pad / 8;
    if (!XShmGetImage(d, DefaultRootWindow(d), image, 0, 0, AllPlanes)) return false;
    if (!supported(image)) return false;
    view_image(image, width, height, out);
    return true;
  }

  // Where the server has the Damage and XFixes extensions, the segment keeps the whole
  // screen from one grab to the next and each grab reads again only what was drawn since.
  void track_damage(Display* d) {
    int damage_error = 0, fixes_event = 0, fixes_error = 0;
    int damage_major = 1, damage_minor = 1, fixes_major = 2, fixes_minor = 0;
    if (!XDamageQueryExtension(d, &damage_event_base_, &damage_error) ||
        !XDamageQueryVersion(d, &damage_major, &damage_minor) ||
        !XFixesQueryExtension(d, &fixes_event, &fixes_error) ||
        !XFixesQueryVersion(d, &fixes_major, &fixes_minor) || fixes_major < 2)
      return;
    X11ErrorTrap trap(d);
    XRectangle whole{0, 0, static_cast<unsigned short>(shared_width_),
                     static_cast<unsigned short>(shared_height_)};
    damage_ = XDamageCreate(d, DefaultRootWindow(d), XDamageReportNonEmpty);
    // Nothing is kept yet: the whole screen waits to be read.
    unread_ = XFixesCreateRegion(d, &whole, 1);
    drawn_ = XFixesCreateRegion(d, nullptr, 0);
    to_read_ = XFixesCreateRegion(d, nullptr, 0);
    if (trap.failed()) release_damage();
  }

  bool grab_tracked(Display* d, int width, int height, PixelView& out) {
    // What was drawn since the last grab joins what earlier grabs left unread; of that, the
    // part within the asked rectangle is read now and the rest stays for later. The fetch
    // is a round trip, so whatever any client drew before this grab began is in it.
    XDamageSubtract(d, damage_, 0, drawn_);
    XFixesUnionRegion(d, unread_, unread_, drawn_);
    XRectangle asked{0, 0, static_cast<unsigned short>(width), static_cast<unsigned short>(height)};
    XFixesSetRegion(d, to_read_, &asked, 1);
    XFixesIntersectRegion(d, to_read_, to_read_, unread_);
    XFixesSubtractRegion(d, unread_, unread_, to_read_);
    int count = 0;
    XRectangle* rectangles = XFixesFetchRegion(d, to_read_, &count);
    if (rectangles == nullptr) return false;  // the connection is lost
    // The reports that damage appeared are not needed: the region says it all.
    XEvent report;
    while (XCheckTypedEvent(d, damage_event_base_ + XDamageNotify, &report)) {
    }
    const bool read = read_rows(d, rectangles, count);
    XFree(rectangles);
    if (!read) {
      // Part of what was unread may be lost: later grabs read the whole of what they ask.
      release_damage();
      return false;
    }
    if (is_direct(shared_image_)) {
      out = {reinterpret_cast<const Pixel*>(shared_image_->data), shared_image_->bytes_per_line / 4,
             width, height};
    } else {
      out = {converted_.data(), shared_width_, width, height};
    }
    return true;
  }

  // Reads the screen rows the rectangles cover (the server's list, sorted by their tops)
  // into the segment at their place: whole rows, since a shared read packs its rows for
  // its own width. Rows close together are read as one band, and many bands as one, to
  // spare round trips.
  bool read_rows(Display* d, const XRectangle* rectangles, int count) {
    constexpr int kJoinGap = 64;  // rows; reading them costs less than a round trip
    constexpr int kMaxBands = 8;
    struct Band {
      int top, bottom;
    };
    Band bands[kMaxBands];
    int used = 0;
    for (int i = 0; i < count; ++i) {
      const int top = rectangles[i].y, bottom = top + rectangles[i].height;
      if (used > 0 && top <= bands[used - 1].bottom + kJoinGap) {
        bands[used - 1].bottom = std::max(bands[used - 1].bottom, bottom);
      } else if (used < kMaxBands) {
        bands[used++] = {top, bottom};
      } else {
        bands[0].bottom = std::max(bands[used - 1].bottom, bottom);
        used = 1;
      }
    }
    XImage* image = shared_image_;
    char* const start = image->data;
    bool read = true;
    for (int i = 0; i < used && read; ++i) {
      image->height = bands[i].bottom - bands[i].top;
      image->data = start + static_cast<ptrdiff_t>(bands[i].top) * image->bytes_per_line;
      read = XShmGetImage(d, DefaultRootWindow(d), image, 0, bands[i].top, AllPlanes) &&
             supported(image);
    }
    image->data = start;
    image->height = shared_height_;
    if (!read || is_direct(image)) return read;
    const size_t needed = static_cast<size_t>(shared_width_) * static_cast<size_t>(shared_height_);
    if (converted_.size() < needed) converted_.resize(needed);
    for (int i = 0; i < used; ++i)
      convert_image(image, masks_, shared_width_, bands[i].top, bands[i].bottom, converted_.data());
    return true;
  }

  void release_damage() {
    if (damage_ != 0) XDamageDestroy(shared_display_, damage_);
    for (XserverRegion region : {unread_, drawn_, to_read_})
      if (region != 0) XFixesDestroyRegion(shared_display_, region);
    damage_ = 0;
    unread_ = drawn_ = to_read_ = 0;
  }

  bool create_shared(Display* d) {
    if (!XShmQueryExtension(d)) return false;
    const int number = DefaultScreen(d);
    const int width = DisplayWidth(d, number), height = DisplayHeight(d, number);
    XImage* image = XShmCreateImage(d, DefaultVisual(d, number), DefaultDepth(d, number), ZPixmap,
                                    nullptr, &segment_, width, height);
    if (image == nullptr) return false;
    const size_t bytes = static_cast<size_t>(image->bytes_per_line) * height;
    segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (segment_.shmid < 0) {
      XDestroyImage(image);
      return false;
    }
    segment_.shmaddr = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
    if (segment_.shmaddr == reinterpret_cast<char*>(-1)) {
      shmctl(segment_.shmid, IPC_RMID, nullptr);
      XDestroyImage(image);
      return false;
    }
    image->data = segment_.shmaddr;
    segment_.readOnly = False;
    attach_refused = false;
    XErrorHandler previous = XSetErrorHandler(note_attach_error);
    const bool attached = XShmAttach(d, &segment_) && (XSync(d, False), !attach_refused);
    XSetErrorHandler(previous);
    // Marked for removal now: it goes away when both sides have let go, even on a crash.
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    if (!attached) {
      shmdt(segment_.shmaddr);
      image->data = nullptr;
      XDestroyImage(image);
      return false;
    }
    shared_display_ = d;
    shared_image_ = image;
    shared_width_ = width;
    shared_height_ = height;
    return true;
  }

  void release_shared() {
    if (shared_image_ == nullptr) return;
    release_damage();
    XShmDetach(shared_display_, &segment_);
    shmdt(segment_.shmaddr);
    shared_image_->data = nullptr;
    XDestroyImage(shared_image_);
    shared_image_ = nullptr;
  }

  bool grab_plain(Display* d, int width, int height, PixelView& out) {
    release_plain();
    {
      X11ErrorTrap trap(d);
      plain_image_ = XGetImage(d, DefaultRootWindow(d), 0, 0, static_cast<unsigned>(width),
                               static_cast<unsigned>(height), AllPlanes, ZPixmap);
      if (trap.failed()) note_refused_read();
    }
    if (plain_image_ == nullptr || !supported(plain_image_)) return false;
    view_image(plain_image_, width, height, out);
    return true;
  }

  // Xwayland refuses to read its root window (it has no picture of the desktop).
  void note_refused_read() {
    if (told_refused_read_) return;
    told_refused_read_ = true;
    system::console_diagnostic(
        "the X11 server refused to read its screen, as Xwayland does in a Wayland session; "
        "TAPLINE_DESKTOP=wayland (or auto) reads the compositor instead\n");
  }

  void release_plain() {
    if (plain_image_ != nullptr) XDestroyImage(plain_image_);
    plain_image_ = nullptr;
  }

  Display* given_;
  bool allow_shared_memory_;
  bool format_known_ = false;
  bool format_usable_ = false;
  ChannelMasks masks_;  // the root visual's: how the server's pixels become ours

  XShmSegmentInfo segment_{};
  Display* shared_display_ = nullptr;
  XImage* shared_image_ = nullptr;
  int shared_width_ = 0;
  int shared_height_ = 0;
  bool shared_refused_ = false;
  bool told_refused_read_ = false;

  // Damage tracking (0 when the server has none): what was drawn since the last grab, what
  // no grab has read yet, and what this grab reads.
  Damage damage_ = 0;
  int damage_event_base_ = 0;
  XserverRegion drawn_ = 0;
  XserverRegion unread_ = 0;
  XserverRegion to_read_ = 0;

  // The last plain read, kept until the next grab because a view may point into it.
  XImage* plain_image_ = nullptr;
  std::vector<Pixel> converted_;
};

}  // namespace

std::unique_ptr<ScreenSource> make_x11_screen(_XDisplay* display, bool allow_shared_memory) {
  return std::make_unique<X11Screen>(display, allow_shared_memory);
}

std::unique_ptr<ScreenSource> open_x11_screen(std::string&) { return make_x11_screen(); }

}  // namespace tapline::platform
