// The screen of a wlroots compositor (sway, Hyprland, river, labwc...) through its
// screencopy protocol. While the screen is being read, a thread of our own keeps every
// output's capture running: as soon as one frame is complete the next is asked for, to be
// copied when the output next changes, so a grab takes the newest complete frame without
// waiting for the compositor. Without reads the capture rests.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/wlr-screencopy-unstable-v1-client-protocol.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "image/pixel_formats.h"
#include "platform/screen_source.h"
#include "platform/wayland/display.h"
#include "platform/x11/pointer.h"
#include "system/console.h"
#include "system/stop_request.h"

namespace tapline::platform {
namespace {

using Clock = std::chrono::steady_clock;
using image::PixelLayout;
using wayland::Connection;
using wayland::LayoutBox;
using wayland::OutputPlace;

// One being written by the compositor, one newest complete frame, one being read.
constexpr int kSlots = 3;
// How long a grab waits for an output's first frame (the compositor draws it at once
// unless the output is asleep).
constexpr auto kFrameWait = std::chrono::seconds(1);
// How often a wait for frames looks for a stop request.
constexpr auto kStopCheck = std::chrono::milliseconds(10);
// A failed frame is asked for again after this long.
constexpr auto kRetryDelay = std::chrono::milliseconds(100);
// After this long without a read, captures pause instead of copying every change of the
// screen (a video, say) for nobody; the next read waits for one fresh frame.
constexpr auto kIdlePause = std::chrono::seconds(3);

std::optional<PixelLayout> layout_of(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_XRGB8888:
    case WL_SHM_FORMAT_ARGB8888:
      return PixelLayout::xrgb8888;
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
      return PixelLayout::xbgr8888;
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
      return PixelLayout::xrgb2101010;
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
      return PixelLayout::xbgr2101010;
    default:
      return std::nullopt;
  }
}

// The pixel of a w x h buffer turned by `transform` (a wl_output_transform) that shows at
// (x, y) of the turned picture, whose size is tw x th.
image::Point untransformed(int transform, int tw, int th, int x, int y) {
  switch (transform) {
    case WL_OUTPUT_TRANSFORM_90:
      return {y, tw - 1 - x};
    case WL_OUTPUT_TRANSFORM_180:
      return {tw - 1 - x, th - 1 - y};
    case WL_OUTPUT_TRANSFORM_270:
      return {th - 1 - y, x};
    case WL_OUTPUT_TRANSFORM_FLIPPED:
      return {tw - 1 - x, y};
    case WL_OUTPUT_TRANSFORM_FLIPPED_90:
      return {y, x};
    case WL_OUTPUT_TRANSFORM_FLIPPED_180:
      return {x, th - 1 - y};
    case WL_OUTPUT_TRANSFORM_FLIPPED_270:
      return {th - 1 - y, tw - 1 - x};
    default:
      return {x, y};
  }
}

// One buffer of shared memory the compositor copies an output into.
struct Slot {
  enum class Use { free, writing, newest, reading };
  Use use = Use::free;
  wl_buffer* buffer = nullptr;
  uint8_t* memory = nullptr;
  size_t bytes = 0;
  uint32_t format = 0;
  PixelLayout layout = PixelLayout::xrgb8888;
  int width = 0, height = 0, stride = 0;
  bool y_invert = false;

  void release() {
    if (buffer) wl_buffer_destroy(buffer);
    if (memory) munmap(memory, bytes);
    buffer = nullptr, memory = nullptr, bytes = 0;
  }
  // Line y counted from the top of the picture.
  const uint32_t* line(int y) const {
    const int row = y_invert ? height - 1 - y : y;
    return reinterpret_cast<const uint32_t*>(memory + static_cast<ptrdiff_t>(row) * stride);
  }
};

class WlrootsScreen;

// The running capture of one output.
struct Capture {
  WlrootsScreen* screen = nullptr;
  const Connection::Output* output = nullptr;  // capture thread only
  OutputPlace place;
  zwlr_screencopy_frame_v1* frame = nullptr;
  Slot slots[kSlots];
  int writing = -1, newest = -1, reading = -1;
  // The shared-memory buffer the compositor asks for, as offered for the current frame.
  uint32_t offered_format = 0;
  int offered_width = 0, offered_height = 0, offered_stride = 0;
  bool offered = false;
  bool copy_asked = false;
  uint32_t frame_flags = 0;
  bool had_frame = false;  // later frames wait for a change of the output
  bool failing = false;    // the last frame failed; asked again at retry_at
  Clock::time_point retry_at;
  bool unusable = false;  // nothing we can read: said once, never asked again
  // Paused while nobody reads (and before the first read); a read asks for a fresh frame
  // and waits for it (bounded): `frames` counts the frames come, `resume_from` the count
  // when the read asked.
  bool paused = true;
  bool resume = false;   // asked of the capture thread
  bool awaited = false;  // a reader waits for the frame after `resume_from`
  uint64_t frames = 0, resume_from = 0;

  // The frame a reader takes: the newest complete one.
  const Slot* current() const {
    const int index = newest >= 0 ? newest : reading;
    return index >= 0 ? &slots[index] : nullptr;
  }
};

class WlrootsScreen final : public ScreenSource {
 public:
  WlrootsScreen(std::unique_ptr<Connection> connection, zwlr_screencopy_manager_v1* manager,
                wl_shm* shm)
      : connection_(std::move(connection)), manager_(manager), shm_(shm) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    connection_->on_outputs_changed([this](const Connection::Output* leaving) {
      if (leaving) {
        drop_capture(leaving);
      } else {
        follow_outputs();
      }
    });
    follow_outputs();
    thread_ = std::thread([this] { run(); });
  }

  ~WlrootsScreen() override {
    stopping_ = true;
    eventfd_write(wake_, 1);
    thread_.join();
    for (auto& capture : captures_) free_capture(*capture);
    for (auto& capture : gone_) free_capture(*capture);
    zwlr_screencopy_manager_v1_destroy(manager_);
    wl_shm_destroy(shm_);
    connection_.reset();
    close(wake_);
  }

  ScreenSize size() override {
    std::lock_guard lock(mutex_);
    if (lost_) return {};
    return {box_.width, box_.height};
  }

  std::optional<ScreenPoint> cursor() override {
    // wlroots compositors tell no client where the pointer is; Xwayland knows it while
    // the pointer is over one of its windows.
    if (const auto point = x11_pointer_over_window()) {
      std::lock_guard lock(mutex_);
      return ScreenPoint{point->x - box_.x, point->y - box_.y};
    }
    if (!told_no_cursor_) {
      told_no_cursor_ = true;
      system::console_diagnostic(
          "the pointer position is unknown: wlroots compositors tell it to no program, and "
          "Xwayland knows it only over X11 windows; GetMousePosition gives -1, -1 and GetColor "
          "without a point reads no pixel\n");
    }
    return std::nullopt;
  }

  std::optional<ColorValue> pixel(ScreenPoint point) override {
    std::unique_lock lock(mutex_);
    wait_for_frames(lock);
    if (lost_) return std::nullopt;  // the last frames show a screen that is gone
    for (const auto& capture : captures_) {
      const OutputPlace& place = capture->place;
      const int x = point.x + box_.x - place.x, y = point.y + box_.y - place.y;
      if (x < 0 || y < 0 || x >= place.width || y >= place.height) continue;
      const Slot* slot = capture->current();
      if (slot == nullptr) return std::nullopt;
      Pixel value = 0;
      read_part(*slot, place, x, y, 1, 1, &value, 1, pixel_columns_);
      return image::color_of(value);
    }
    // Between outputs the screen is black, as a grab shows it.
    if (point.x < 0 || point.y < 0 || point.x >= box_.width || point.y >= box_.height)
      return std::nullopt;
    return ColorValue{0};
  }

  bool grab(int width, int height, PixelView& out) override {
    out = PixelView{};
    std::unique_lock lock(mutex_);
    wait_for_frames(lock);
    for (auto& capture : gone_) free_capture(*capture);
    gone_.clear();
    // The newest frame of each output becomes the one read; the one read before is free
    // for the compositor again.
    bool any = false, changed = layout_changed_;
    layout_changed_ = false;
    for (auto& capture : captures_) {
      if (capture->newest >= 0) {
        if (capture->reading >= 0) capture->slots[capture->reading].use = Slot::Use::free;
        capture->reading = capture->newest;
        capture->slots[capture->reading].use = Slot::Use::reading;
        capture->newest = -1;
        changed = true;
      }
      any = any || capture->reading >= 0;
    }
    if (lost_ || !any) return false;
    // More than the screen holds: the outputs shrank since the caller asked for its size, and
    // a smaller view would be read past its end.
    if (width <= 0 || height <= 0 || width > box_.width || height > box_.height) return false;
    out.width = width, out.height = height;
    if (captures_.size() == 1 && view_in_place(*captures_[0], out)) return true;
    // Converted pixels stay good until a new frame comes or the layout changes.
    if (changed || width > composed_width_ || height > composed_height_) compose(width, height);
    out.top = composed_.data();
    out.row_step = box_.width;
    return true;
  }

 private:
  // One output whose pixels are ours, unscaled and unturned, is read where it lies.
  static bool view_in_place(const Capture& capture, PixelView& out) {
    const Slot& slot = capture.slots[capture.reading];
    const OutputPlace& place = capture.place;
    if (slot.layout != PixelLayout::xrgb8888 || slot.stride % 4 != 0 || place.transform != 0 ||
        slot.width != place.width || slot.height != place.height)
      return false;
    out.top = reinterpret_cast<const Pixel*>(slot.line(0));
    out.row_step = (slot.y_invert ? -1 : 1) * static_cast<ptrdiff_t>(slot.stride / 4);
    return true;
  }

  // Every output converted into its place in one reusable buffer, rows the screen's width
  // apart; what no output covers is black.
  void compose(int width, int height) {
    const ptrdiff_t step = box_.width;
    const size_t needed = static_cast<size_t>(step) * static_cast<size_t>(height);
    if (composed_.size() < needed) composed_.resize(needed);
    int64_t covered = 0;
    for (const auto& capture : captures_)
      covered += static_cast<int64_t>(capture->place.width) * capture->place.height;
    if (covered != static_cast<int64_t>(box_.width) * box_.height)
      std::fill_n(composed_.begin(), needed, Pixel{0});
    for (const auto& capture : captures_) {
      if (capture->reading < 0) continue;
      const OutputPlace& place = capture->place;
      const int left = place.x - box_.x, top = place.y - box_.y;
      const int x0 = std::max(left, 0), y0 = std::max(top, 0);
      const int x1 = std::min(left + place.width, width), y1 = std::min(top + place.height, height);
      if (x0 >= x1 || y0 >= y1) continue;
      read_part(capture->slots[capture->reading], place, x0 - left, y0 - top, x1 - x0, y1 - y0,
                composed_.data() + y0 * step + x0, step, columns_);
    }
    composed_width_ = width, composed_height_ = height;
  }

  // The w x h pixels at (x, y) of an output's logical picture into `out` (rows `step`
  // pixels apart). A scaled or turned output is sampled at the nearest pixel.
  static void read_part(const Slot& slot, const OutputPlace& place, int x, int y, int w, int h,
                        Pixel* out, ptrdiff_t step, std::vector<int>& columns) {
    const bool turned = (place.transform & 1) != 0;
    const int tw = turned ? slot.height : slot.width, th = turned ? slot.width : slot.height;
    if (place.transform == 0 && tw == place.width && th == place.height) {
      for (int j = 0; j < h; ++j)
        image::convert_pixels(slot.layout, slot.line(y + j) + x, out + j * step, w);
      return;
    }
    if (tw == place.width && th == place.height) {
      // Turned or mirrored at scale 1: each line of the picture is a straight walk through
      // the buffer, taken in tiles so that the buffer lines it crosses stay in the cache.
      constexpr int kTile = 32;
      const ptrdiff_t line_step =
          (slot.y_invert ? -1 : 1) * static_cast<ptrdiff_t>(slot.stride / 4);
      for (int j0 = 0; j0 < h; j0 += kTile)
        for (int i0 = 0; i0 < w; i0 += kTile)
          for (int j = j0; j < std::min(j0 + kTile, h); ++j) {
            const image::Point a = untransformed(place.transform, tw, th, x + i0, y + j);
            const image::Point b = untransformed(place.transform, tw, th, x + i0 + 1, y + j);
            const ptrdiff_t delta = (b.x - a.x) + (b.y - a.y) * line_step;
            const uint32_t* source = slot.line(a.y) + a.x;
            ptrdiff_t offset = 0;
            for (int i = i0; i < std::min(i0 + kTile, w); ++i, offset += delta)
              out[j * step + i] = image::convert_pixel(slot.layout, source[offset]);
          }
      return;
    }
    if (columns.size() < static_cast<size_t>(w)) columns.resize(w);
    for (int i = 0; i < w; ++i)
      columns[i] = static_cast<int>(static_cast<int64_t>(x + i) * tw / place.width);
    for (int j = 0; j < h; ++j) {
      const int ty = static_cast<int>(static_cast<int64_t>(y + j) * th / place.height);
      for (int i = 0; i < w; ++i) {
        const image::Point at = untransformed(place.transform, tw, th, columns[i], ty);
        out[j * step + i] = image::convert_pixel(slot.layout, slot.line(at.y)[at.x]);
      }
    }
  }

  // A read: paused captures are asked for a fresh frame, which is waited for (bounded: an
  // output that never shows, asleep, slows this call only).
  void wait_for_frames(std::unique_lock<std::mutex>& lock) {
    last_read_ = Clock::now();
    bool resumed = false;
    for (auto& capture : captures_) {
      if (!capture->paused) continue;
      capture->paused = false;
      capture->resume = capture->awaited = resumed = true;
      capture->resume_from = capture->frames;
    }
    if (!resumed) return;
    eventfd_write(wake_, 1);
    const auto ready = [this] {
      if (lost_) return true;
      for (const auto& capture : captures_)
        if (capture->awaited && capture->frames == capture->resume_from && !capture->failing &&
            !capture->unusable)
          return false;
      return true;
    };
    // Signal handlers cannot wake the condition: a stop request is looked for between
    // short waits.
    const auto deadline = Clock::now() + kFrameWait;
    bool came = ready();
    while (!came && !system::stop_requested() && Clock::now() < deadline)
      came = frame_changed_.wait_until(lock, std::min(deadline, Clock::now() + kStopCheck), ready);
    for (auto& capture : captures_) capture->awaited = false;
    if (!came && !told_slow_ && !system::stop_requested()) {
      told_slow_ = true;
      system::console_diagnostic(
          "the compositor at %s gave no picture of the screen within %lld ms\n",
          connection_->name().c_str(),
          static_cast<long long>(std::chrono::milliseconds(kFrameWait).count()));
    }
  }

  // --- the capture thread -------------------------------------------------------------

  void run() {
    wl_display* display = connection_->display();
    const int fd = wl_display_get_fd(display);
    while (!stopping_) {
      while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
      wl_display_flush(display);
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
      const int ready = poll(fds, 2, retry_timeout_ms());
      if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
        if (wl_display_read_events(display) < 0) break;
      } else {
        wl_display_cancel_read(display);
      }
      if (ready > 0 && (fds[1].revents & POLLIN)) {
        eventfd_t count = 0;
        eventfd_read(wake_, &count);
      }
      if (wl_display_dispatch_pending(display) < 0) break;
      resume_asked();
      retry_failed();
    }
    if (!stopping_) {
      std::lock_guard lock(mutex_);
      lost_ = true;
      system::console_diagnostic(
          "the connection to the Wayland compositor at %s was lost; the screen is unavailable "
          "from now on\n",
          connection_->name().c_str());
      frame_changed_.notify_all();
    }
  }

  int retry_timeout_ms() {
    std::lock_guard lock(mutex_);
    int timeout = -1;
    const auto now = Clock::now();
    for (const auto& capture : captures_) {
      if (!capture->failing || capture->unusable) continue;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(capture->retry_at - now).count();
      const int ms = static_cast<int>(std::max<int64_t>(left, 0)) + 1;
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    return timeout;
  }

  void resume_asked() {
    std::lock_guard lock(mutex_);
    for (auto& capture : captures_) {
      if (!capture->resume) continue;
      capture->resume = false;
      // A paused capture's last frame may be old: the next is copied at once.
      capture->had_frame = false;
      if (capture->frame == nullptr && !capture->unusable) request_frame(*capture);
    }
  }

  void retry_failed() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto& capture : captures_) {
      if (!capture->failing || capture->unusable || capture->frame || now < capture->retry_at)
        continue;
      if (now - last_read_ > kIdlePause) {
        capture->failing = false;  // tried again when read
        capture->paused = true;
      } else {
        request_frame(*capture);
      }
    }
  }

  // Captures follow the compositor's outputs; the screen is their bounding box.
  void follow_outputs() {
    std::lock_guard lock(mutex_);
    std::vector<OutputPlace> places;
    for (const Connection::Output* output : connection_->outputs()) {
      places.push_back(output->place);
      auto found = std::find_if(captures_.begin(), captures_.end(),
                                [output](const auto& c) { return c->output == output; });
      if (found != captures_.end()) {
        (*found)->place = output->place;
        continue;
      }
      auto capture = std::make_unique<Capture>();
      capture->screen = this;
      capture->output = output;
      capture->place = output->place;
      captures_.push_back(std::move(capture));
    }
    box_ = wayland::bounding_box(places);
    layout_changed_ = true;
  }

  void drop_capture(const Connection::Output* output) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(captures_.begin(), captures_.end(),
                              [output](const auto& c) { return c->output == output; });
    if (found == captures_.end()) return;
    Capture& capture = **found;
    if (capture.frame) zwlr_screencopy_frame_v1_destroy(capture.frame);
    capture.frame = nullptr;
    // A grab's view may still point into its buffers: freed by the next grab.
    gone_.push_back(std::move(*found));
    captures_.erase(found);
    layout_changed_ = true;
    frame_changed_.notify_all();
  }

  static void free_capture(Capture& capture) {
    if (capture.frame) zwlr_screencopy_frame_v1_destroy(capture.frame);
    capture.frame = nullptr;
    for (Slot& slot : capture.slots) slot.release();
  }

  void request_frame(Capture& capture) {
    capture.offered = false;
    capture.copy_asked = false;
    capture.frame_flags = 0;
    capture.frame = zwlr_screencopy_manager_v1_capture_output(
        manager_, 0, capture.output->output);  // no cursor, as X11 screen reads have none
    static const zwlr_screencopy_frame_v1_listener listener = {
        on_buffer, on_flags, on_ready, on_failed, on_damage, on_linux_dmabuf, on_buffer_done};
    zwlr_screencopy_frame_v1_add_listener(capture.frame, &listener, &capture);
  }

  static Capture& capture_of(void* data) { return *static_cast<Capture*>(data); }

  static void on_buffer(void* data, zwlr_screencopy_frame_v1* frame, uint32_t format,
                        uint32_t width, uint32_t height, uint32_t stride) {
    Capture& capture = capture_of(data);
    if (!capture.offered) {
      capture.offered_format = format;  // named when nothing readable comes
      if (layout_of(format)) {
        capture.offered = true;
        capture.offered_width = static_cast<int>(width);
        capture.offered_height = static_cast<int>(height);
        capture.offered_stride = static_cast<int>(stride);
      }
    }
    // Before version 3 the offer is complete with this one event.
    if (zwlr_screencopy_frame_v1_get_version(frame) < 3) capture.screen->start_copy(capture);
  }
  static void on_buffer_done(void* data, zwlr_screencopy_frame_v1*) {
    capture_of(data).screen->start_copy(capture_of(data));
  }
  static void on_linux_dmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
  static void on_damage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
  static void on_flags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
    capture_of(data).frame_flags = flags;
  }
  static void on_ready(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
    capture_of(data).screen->frame_ready(capture_of(data));
  }
  static void on_failed(void* data, zwlr_screencopy_frame_v1*) {
    capture_of(data).screen->frame_failed(capture_of(data));
  }

  void start_copy(Capture& capture) {
    if (capture.copy_asked) return;  // one copy per frame
    capture.copy_asked = true;
    std::unique_lock lock(mutex_);
    if (!capture.offered) {
      capture.unusable = true;
      zwlr_screencopy_frame_v1_destroy(capture.frame);
      capture.frame = nullptr;
      system::console_diagnostic(
          "the compositor offers the picture of output %s only in a form not supported here "
          "(shared-memory format 0x%08x); that output reads as black\n",
          capture.place.name.c_str(), capture.offered_format);
      frame_changed_.notify_all();
      return;
    }
    int index = 0;
    while (capture.slots[index].use != Slot::Use::free) ++index;  // one of three is free
    Slot& slot = capture.slots[index];
    if (!fit_slot(slot, capture)) {
      lock.unlock();
      frame_failed(capture);
      return;
    }
    slot.use = Slot::Use::writing;
    capture.writing = index;
    if (capture.had_frame)
      zwlr_screencopy_frame_v1_copy_with_damage(capture.frame, slot.buffer);
    else
      zwlr_screencopy_frame_v1_copy(capture.frame, slot.buffer);
  }

  // Gives a free slot a buffer of the offered format and size, keeping the one it has
  // when that fits already.
  bool fit_slot(Slot& slot, const Capture& capture) {
    if (slot.buffer && slot.format == capture.offered_format &&
        slot.width == capture.offered_width && slot.height == capture.offered_height &&
        slot.stride == capture.offered_stride)
      return true;
    slot.release();
    const size_t bytes =
        static_cast<size_t>(capture.offered_stride) * static_cast<size_t>(capture.offered_height);
    const int fd = memfd_create("tapline-screen", MFD_CLOEXEC);
    if (fd < 0) return false;
    void* memory = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0)
      memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
      close(fd);
      return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, static_cast<int32_t>(bytes));
    slot.buffer = wl_shm_pool_create_buffer(pool, 0, capture.offered_width, capture.offered_height,
                                            capture.offered_stride, capture.offered_format);
    wl_shm_pool_destroy(pool);
    close(fd);
    slot.memory = static_cast<uint8_t*>(memory);
    slot.bytes = bytes;
    slot.format = capture.offered_format;
    slot.layout = *layout_of(capture.offered_format);
    slot.width = capture.offered_width;
    slot.height = capture.offered_height;
    slot.stride = capture.offered_stride;
    return true;
  }

  void frame_ready(Capture& capture) {
    {
      std::lock_guard lock(mutex_);
      Slot& slot = capture.slots[capture.writing];
      slot.y_invert = (capture.frame_flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
      slot.use = Slot::Use::newest;
      if (capture.newest >= 0) capture.slots[capture.newest].use = Slot::Use::free;
      capture.newest = capture.writing;
      capture.writing = -1;
      capture.had_frame = true;
      capture.failing = false;
      ++capture.frames;
      zwlr_screencopy_frame_v1_destroy(capture.frame);
      capture.frame = nullptr;
      frame_changed_.notify_all();
      if (Clock::now() - last_read_ > kIdlePause) {
        capture.paused = true;
        return;
      }
    }
    request_frame(capture);
  }

  void frame_failed(Capture& capture) {
    std::lock_guard lock(mutex_);
    if (capture.writing >= 0) capture.slots[capture.writing].use = Slot::Use::free;
    capture.writing = -1;
    if (capture.frame) zwlr_screencopy_frame_v1_destroy(capture.frame);
    capture.frame = nullptr;
    // Asked again without waiting for a change: the output may have changed mode.
    capture.had_frame = false;
    capture.failing = true;
    capture.retry_at = Clock::now() + kRetryDelay;
    frame_changed_.notify_all();
  }

  std::unique_ptr<Connection> connection_;
  zwlr_screencopy_manager_v1* manager_;
  wl_shm* shm_;
  int wake_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;

  std::mutex mutex_;  // guards everything below that both threads touch
  std::condition_variable frame_changed_;
  std::vector<std::unique_ptr<Capture>> captures_;
  std::vector<std::unique_ptr<Capture>> gone_;
  LayoutBox box_;
  bool lost_ = false;

  bool layout_changed_ = false;
  Clock::time_point last_read_;

  // Main thread only.
  std::vector<Pixel> composed_;
  int composed_width_ = 0, composed_height_ = 0;
  std::vector<int> columns_, pixel_columns_;  // sampled columns of a scaled or turned output
  bool told_no_cursor_ = false;
  bool told_slow_ = false;
};

}  // namespace

std::unique_ptr<ScreenSource> open_wlroots_screen(std::string& why_not) {
  std::unique_ptr<Connection> connection = Connection::open(why_not);
  if (!connection) return nullptr;
  if (connection->version_of(zwlr_screencopy_manager_v1_interface) == 0) {
    why_not = "the compositor at " + connection->name() + " does not offer wlroots screencopy";
    return nullptr;
  }
  if (connection->outputs().empty()) {
    why_not = "the compositor at " + connection->name() + " has no outputs";
    return nullptr;
  }
  auto* manager = static_cast<zwlr_screencopy_manager_v1*>(
      connection->bind(zwlr_screencopy_manager_v1_interface, 3));
  auto* shm = static_cast<wl_shm*>(connection->bind(wl_shm_interface, 1));
  if (shm == nullptr) {
    zwlr_screencopy_manager_v1_destroy(manager);
    why_not = "the compositor at " + connection->name() + " offers no shared memory";
    return nullptr;
  }
  return std::make_unique<WlrootsScreen>(std::move(connection), manager, shm);
}

}  // namespace tapline::platform
