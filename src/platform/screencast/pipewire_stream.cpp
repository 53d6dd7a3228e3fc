#include "platform/screencast/pipewire_stream.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/dma-buf.h>
#include <pipewire/pipewire.h>
#include <pthread.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "image/pixel_formats.h"
#include "system/stop_request.h"

namespace tapline::platform::screencast {
namespace {

using image::Pixel;
using image::PixelLayout;
using image::PixelView;

// How long the first frame may take: a compositor answers within a frame or two; this only
// ends the wait for one that never sends anything.
constexpr int64_t kFirstFrameWaitNs = 5'000'000'000;
// How long a stream may stay without its first picture before it is asked again.
constexpr int64_t kAskAgainNs = 250'000'000;
// How often that wait looks for a stop request.
constexpr int64_t kStopCheckNs = 10'000'000;
constexpr uint64_t kLinearModifier = 0;  // DRM_FORMAT_MOD_LINEAR

// The cursor metadata's room: the position and a cursor picture of up to 384 x 384 pixels
// (or none: we read only the position).
constexpr int cursor_meta_size(int side) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}

// The 32-bit formats we read, each with the layout of its little-endian pixel word.
struct StreamFormat {
  spa_video_format format;
  PixelLayout layout;
};
constexpr StreamFormat kFormats[] = {
    {SPA_VIDEO_FORMAT_BGRx, PixelLayout::xrgb8888},
    {SPA_VIDEO_FORMAT_BGRA, PixelLayout::xrgb8888},
    {SPA_VIDEO_FORMAT_RGBx, PixelLayout::xbgr8888},
    {SPA_VIDEO_FORMAT_RGBA, PixelLayout::xbgr8888},
    {SPA_VIDEO_FORMAT_xRGB_210LE, PixelLayout::xrgb2101010},
    {SPA_VIDEO_FORMAT_ARGB_210LE, PixelLayout::xrgb2101010},
    {SPA_VIDEO_FORMAT_xBGR_210LE, PixelLayout::xbgr2101010},
    {SPA_VIDEO_FORMAT_ABGR_210LE, PixelLayout::xbgr2101010},
};

// libpipewire, loaded when a stream is first opened: a program that never reads a
// PipeWire screen neither loads it (a few milliseconds of every start) nor needs it.
// clang-format off
#define TAPLINE_PIPEWIRE_FUNCTIONS(X)                                                      \
  X(init) X(thread_loop_new) X(thread_loop_get_loop) X(thread_loop_start)                \
  X(thread_loop_stop) X(thread_loop_destroy) X(thread_loop_lock) X(thread_loop_unlock)   \
  X(thread_loop_signal) X(thread_loop_get_time) X(thread_loop_timed_wait_full)           \
  X(context_new) X(context_destroy) X(context_connect) X(context_connect_fd)             \
  X(core_disconnect) X(properties_new) X(stream_new) X(stream_add_listener)              \
  X(stream_connect) X(stream_destroy) X(stream_dequeue_buffer) X(stream_queue_buffer)    \
  X(stream_update_params) X(stream_set_active)
// clang-format on

struct PipeWireLibrary {
  bool loaded = false;  // the library and every function were found
#define TAPLINE_MEMBER(name) decltype(&::pw_##name) name = nullptr;
  TAPLINE_PIPEWIRE_FUNCTIONS(TAPLINE_MEMBER)
#undef TAPLINE_MEMBER
};

constexpr const char* kPipeWireLibrary = "libpipewire-0.3.so.0";

const PipeWireLibrary& pw() {
  static const PipeWireLibrary library = [] {
    PipeWireLibrary found;
    void* handle = dlopen(kPipeWireLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return found;
    found.loaded = true;
#define TAPLINE_LOOK_UP(name)                                                      \
  found.name = reinterpret_cast<decltype(found.name)>(dlsym(handle, "pw_" #name)); \
  found.loaded = found.loaded && found.name != nullptr;
    TAPLINE_PIPEWIRE_FUNCTIONS(TAPLINE_LOOK_UP)
#undef TAPLINE_LOOK_UP
    if (found.loaded) found.init(nullptr, nullptr);
    return found;
  }();
  return library;
}

// A buffer's memory as we mapped it. Shared by the buffer and the frames that show it, so
// that a frame the script still reads stays mapped after the producer took the buffer away.
struct Mapping {
  uint8_t* base = nullptr;  // where the buffer's data starts
  void* mapped = MAP_FAILED;
  size_t mapped_length = 0;
  size_t size = 0;  // bytes from base
  int dmabuf = -1;  // our own descriptor of a DMA-BUF, for the cache syncs around reads

  ~Mapping() {
    if (mapped != MAP_FAILED) munmap(mapped, mapped_length);
    if (dmabuf >= 0) close(dmabuf);
  }
  void sync(uint64_t flags) const {
    if (dmabuf < 0) return;
    dma_buf_sync request{DMA_BUF_SYNC_READ | flags};
    while (ioctl(dmabuf, DMA_BUF_IOCTL_SYNC, &request) == -1 && errno == EINTR) {
    }
  }
};

struct BufferData {
  std::shared_ptr<Mapping> mapping;  // empty for memory PipeWire itself maps (MemPtr)
};

// A complete frame held back from the producer until a newer one is taken.
struct HeldFrame {
  pw_buffer* buffer = nullptr;  // nullptr once the stream removed it
  std::shared_ptr<Mapping> mapping;
  const uint8_t* data = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
  PixelLayout layout = PixelLayout::xrgb8888;

  bool empty() const { return data == nullptr; }
};

std::shared_ptr<Mapping> map_buffer(const spa_data& data) {
  if (data.type != SPA_DATA_MemFd && data.type != SPA_DATA_DmaBuf) return nullptr;
  if (data.fd < 0 || data.maxsize == 0) return nullptr;
  const long page = sysconf(_SC_PAGESIZE);
  const size_t start = data.mapoffset - data.mapoffset % page;
  const size_t lead = data.mapoffset - start;
  auto mapping = std::make_shared<Mapping>();
  mapping->mapped_length = lead + data.maxsize;
  mapping->mapped = mmap(nullptr, mapping->mapped_length, PROT_READ, MAP_SHARED,
                         static_cast<int>(data.fd), static_cast<off_t>(start));
  if (mapping->mapped == MAP_FAILED) return nullptr;
  mapping->base = static_cast<uint8_t*>(mapping->mapped) + lead;
  mapping->size = data.maxsize;
  if (data.type == SPA_DATA_DmaBuf)
    mapping->dmabuf = fcntl(static_cast<int>(data.fd), F_DUPFD_CLOEXEC, 0);
  return mapping;
}

}  // namespace

struct PipeWireStream::State {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook core_listener{};
  spa_hook stream_listener{};

  // Shared with the stream's thread: touched only under the thread loop's lock.
  int width = 0;
  int height = 0;
  bool have_format = false;
  PixelLayout layout = PixelLayout::xrgb8888;
  HeldFrame pending;  // the newest complete frame not yet taken
  HeldFrame current;  // the frame the caller's view shows
  uint64_t frames = 0;
  bool waited = false;  // for the first frame
  std::optional<image::Point> cursor;
  std::string failure;

  // The caller's thread only.
  PixelView view;
  std::vector<Pixel> converted;  // frames not stored as our pixels, converted once each

  ~State() {
    if (loop) pw().thread_loop_stop(loop);
    if (stream) pw().stream_destroy(stream);
    if (core) pw().core_disconnect(core);
    if (context) pw().context_destroy(context);
    if (loop) pw().thread_loop_destroy(loop);
  }

  void give_back(HeldFrame& frame) {
    if (frame.buffer && stream) pw().stream_queue_buffer(stream, frame.buffer);
    frame = {};
  }

  void fail(const std::string& why) {
    if (failure.empty()) failure = why;
    pw().thread_loop_signal(loop, false);
  }

  // The formats offered: shared memory first (read where it lies), then linear DMA-BUF.
  static std::vector<const spa_pod*> format_params(spa_pod_builder& builder) {
    std::vector<const spa_pod*> params;
    for (const bool dmabuf : {false, true}) {
      spa_pod_frame frame;
      spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
      spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                          SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
      spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
      spa_pod_frame choice;
      spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
      spa_pod_builder_id(&builder, kFormats[0].format);  // the default
      for (const StreamFormat& format : kFormats) spa_pod_builder_id(&builder, format.format);
      spa_pod_builder_pop(&builder, &choice);
      if (dmabuf) {
        spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_modifier, SPA_POD_PROP_FLAG_MANDATORY);
        spa_pod_builder_long(&builder, static_cast<int64_t>(kLinearModifier));
      }
      const spa_rectangle size{1920, 1080}, min_size{1, 1}, max_size{16384, 16384};
      const spa_fraction rate{60, 1}, min_rate{0, 1}, max_rate{1000, 1};
      spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size,
                          SPA_POD_CHOICE_RANGE_Rectangle(&size, &min_size, &max_size),
                          SPA_FORMAT_VIDEO_framerate,
                          SPA_POD_CHOICE_RANGE_Fraction(&rate, &min_rate, &max_rate), 0);
      params.push_back(static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame)));
    }
    return params;
  }

  void on_format(const spa_pod* param) {
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    const StreamFormat* format = nullptr;
    for (const StreamFormat& known : kFormats)
      if (known.format == info.format) format = &known;
    if (format == nullptr) return fail("the stream's pixel format is not one we read");
    layout = format->layout;
    width = static_cast<int>(info.size.width);
    height = static_cast<int>(info.size.height);
    have_format = true;

    const bool dmabuf = spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_modifier) != nullptr;
    const int data_types =
        (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) | (dmabuf ? 1 << SPA_DATA_DmaBuf : 0);
    uint8_t memory[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory, sizeof memory);
    const spa_pod* params[3];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
        // Two held (newest and shown) and the rest for the producer to draw into.
        SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(6, 3, 16), SPA_PARAM_BUFFERS_blocks,
        SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(data_types)));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursor_meta_size(64), cursor_meta_size(0),
                                 cursor_meta_size(384))));
    pw().stream_update_params(stream, params, 3);
  }

  void on_add_buffer(pw_buffer* buffer) {
    auto* data = new BufferData;
    data->mapping = map_buffer(buffer->buffer->datas[0]);
    buffer->user_data = data;
  }

  void on_remove_buffer(pw_buffer* buffer) {
    for (HeldFrame* frame : {&pending, &current})
      if (frame->buffer == buffer) {
        frame->buffer = nullptr;
        // Memory PipeWire maps itself goes with the buffer.
        if (!frame->mapping) *frame = {};
      }
    delete static_cast<BufferData*>(buffer->user_data);
    buffer->user_data = nullptr;
  }

  void read_cursor(const spa_buffer* buffer) {
    const auto* meta = static_cast<const spa_meta_cursor*>(
        spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
    if (meta == nullptr) return;
    if (spa_meta_cursor_is_valid(meta))
      cursor = image::Point{meta->position.x, meta->position.y};
    else
      cursor.reset();
  }

  // A complete picture in `buffer`, or an empty frame (a cursor-only update, a damaged or
  // short buffer).
  HeldFrame frame_of(pw_buffer* buffer) const {
    const spa_buffer* spa = buffer->buffer;
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return {};
    if (spa->n_datas < 1 || !have_format) return {};
    const spa_data& data = spa->datas[0];
    const spa_chunk* chunk = data.chunk;
    if (chunk == nullptr || chunk->size == 0 || (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
      return {};
    HeldFrame frame;
    frame.buffer = buffer;
    frame.mapping = static_cast<const BufferData*>(buffer->user_data)->mapping;
    const uint8_t* base = frame.mapping ? frame.mapping->base : static_cast<uint8_t*>(data.data);
    const size_t room = frame.mapping ? frame.mapping->size : data.maxsize;
    // A stride of 0 means rows follow one another; a negative one (rows bottom-up) is refused.
    frame.stride = chunk->stride != 0 ? chunk->stride : width * 4;
    frame.width = width;
    frame.height = height;
    frame.layout = layout;
    if (base == nullptr || width <= 0 || height <= 0 || frame.stride < width * 4) return {};
    const size_t offset = chunk->offset % (data.maxsize ? data.maxsize : 1);
    const size_t needed = offset + static_cast<size_t>(frame.stride) * (height - 1) + width * 4u;
    if (needed > room) return {};
    frame.data = base + offset;
    return frame;
  }

  void on_process() {
    bool fresh = false;
    while (pw_buffer* buffer = pw().stream_dequeue_buffer(stream)) {
      read_cursor(buffer->buffer);
      HeldFrame frame = frame_of(buffer);
      if (frame.empty()) {
        pw().stream_queue_buffer(stream, buffer);
        continue;
      }
      give_back(pending);
      pending = std::move(frame);
      fresh = true;
    }
    if (fresh) {
      ++frames;
      pw().thread_loop_signal(loop, false);
    }
  }

  // Waits (lock held) until the first frame came or the stream failed; once only, so that a
  // stream that never sends costs one wait, not one per grab. A producer only sends when
  // its picture changes, and one may let its first picture fall (mutter drops one that
  // comes too soon after a cursor update): a static screen would then send nothing. So
  // the stream is paused and resumed, which asks for a picture again, while none comes.
  void wait_first_frame() {
    if (frames > 0 || !failure.empty() || waited) return;
    waited = true;
    // Signal handlers cannot wake this wait: a stop request is looked for between short
    // waits.
    const auto waiting = [this] {
      return frames == 0 && failure.empty() && !system::stop_requested();
    };
    for (int64_t waited_ns = 0; waiting() && waited_ns < kFirstFrameWaitNs;
         waited_ns += kAskAgainNs) {
      if (waited_ns > 0) {
        pw().stream_set_active(stream, false);
        pw().stream_set_active(stream, true);
      }
      for (int64_t slept_ns = 0; waiting() && slept_ns < kAskAgainNs; slept_ns += kStopCheckNs) {
        timespec deadline;
        pw().thread_loop_get_time(loop, &deadline, kStopCheckNs);
        while (waiting())
          if (pw().thread_loop_timed_wait_full(loop, &deadline) != 0) break;
      }
    }
  }

  // Makes `view` show `current`, reading it where it lies when it holds our pixels.
  void show_current() {
    const HeldFrame& frame = current;
    const bool in_place = frame.layout == PixelLayout::xrgb8888 && frame.mapping &&
                          frame.stride % 4 == 0 &&
                          reinterpret_cast<uintptr_t>(frame.data) % alignof(Pixel) == 0;
    if (in_place) {
      view = {reinterpret_cast<const Pixel*>(frame.data), frame.stride / 4, frame.width,
              frame.height};
      return;
    }
    const size_t count = static_cast<size_t>(frame.width) * frame.height;
    if (converted.size() != count) converted.assign(count, 0);
    for (int y = 0; y < frame.height; ++y) {
      const auto* row =
          reinterpret_cast<const uint8_t*>(frame.data) + static_cast<ptrdiff_t>(y) * frame.stride;
      Pixel* out = converted.data() + static_cast<ptrdiff_t>(y) * frame.width;
      // Copied first, as the row may not lie on a 4-byte boundary; converted where it lands.
      std::memcpy(out, row, static_cast<size_t>(frame.width) * 4);
      if (frame.layout != PixelLayout::xrgb8888)
        image::convert_pixels(frame.layout, out, out, frame.width);
    }
    view = {converted.data(), frame.width, frame.width, frame.height};
  }
};

namespace {

const pw_stream_events kStreamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* self = static_cast<PipeWireStream::State*>(data);
    if (state == PW_STREAM_STATE_ERROR)
      self->fail(std::string("the PipeWire stream failed: ") + (error ? error : "no reason"));
    else if (state == PW_STREAM_STATE_UNCONNECTED)
      self->fail("the PipeWire stream was disconnected");
  };
  events.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format && param != nullptr)
      static_cast<PipeWireStream::State*>(data)->on_format(param);
  };
  events.add_buffer = [](void* data, pw_buffer* buffer) {
    static_cast<PipeWireStream::State*>(data)->on_add_buffer(buffer);
  };
  events.remove_buffer = [](void* data, pw_buffer* buffer) {
    static_cast<PipeWireStream::State*>(data)->on_remove_buffer(buffer);
  };
  events.process = [](void* data) { static_cast<PipeWireStream::State*>(data)->on_process(); };
  return events;
}();

const pw_core_events kCoreEvents = [] {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = [](void* data, uint32_t id, int, int res, const char* message) {
    if (id != PW_ID_CORE || res != -EPIPE) return;
    static_cast<PipeWireStream::State*>(data)->fail(
        std::string("the connection to PipeWire broke: ") + (message ? message : ""));
  };
  return events;
}();

}  // namespace

PipeWireStream::PipeWireStream(std::unique_ptr<State> state) : state_(std::move(state)) {}

PipeWireStream::~PipeWireStream() {
  // Frames go back before the stream goes; their mappings go with the state.
  if (state_->loop) {
    pw().thread_loop_lock(state_->loop);
    state_->give_back(state_->pending);
    if (state_->current.mapping) state_->current.mapping->sync(DMA_BUF_SYNC_END);
    state_->give_back(state_->current);
    pw().thread_loop_unlock(state_->loop);
  }
}

std::unique_ptr<PipeWireStream> PipeWireStream::open(int remote_fd, uint32_t node_id,
                                                     std::string& why_not) {
  if (!pw().loaded) {
    if (remote_fd >= 0) close(remote_fd);
    why_not = std::string(kPipeWireLibrary) + " cannot be loaded (install PipeWire's library)";
    return nullptr;
  }

  auto state = std::make_unique<State>();
  // PipeWire's threads take no signals: the stop signals' handlers run on the script's
  // thread, whose waits they end.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  struct RestoreMask {
    sigset_t* mask;
    ~RestoreMask() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
  } restore{&before};
  state->loop = pw().thread_loop_new("tapline-screen", nullptr);
  if (state->loop == nullptr) {
    if (remote_fd >= 0) close(remote_fd);
    why_not = "cannot start a PipeWire thread";
    return nullptr;
  }
  state->context = pw().context_new(pw().thread_loop_get_loop(state->loop), nullptr, 0);
  if (state->context == nullptr) {
    if (remote_fd >= 0) close(remote_fd);
    why_not = "cannot make a PipeWire context";
    return nullptr;
  }
  if (pw().thread_loop_start(state->loop) < 0) {
    if (remote_fd >= 0) close(remote_fd);
    why_not = "cannot start a PipeWire thread";
    return nullptr;
  }

  pw().thread_loop_lock(state->loop);
  State& s = *state;
  s.core = remote_fd >= 0 ? pw().context_connect_fd(s.context, remote_fd, nullptr, 0)
                          : pw().context_connect(s.context, nullptr, 0);
  if (s.core == nullptr) {
    why_not = std::string("cannot connect to PipeWire (") + std::strerror(errno) + ")";
    pw().thread_loop_unlock(s.loop);
    return nullptr;
  }
  pw_core_add_listener(s.core, &s.core_listener, &kCoreEvents, &s);
  s.stream = pw().stream_new(s.core, "tapline-screen",
                             pw().properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                 "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (s.stream == nullptr) {
    why_not = "cannot make a PipeWire stream";
    pw().thread_loop_unlock(s.loop);
    return nullptr;
  }
  pw().stream_add_listener(s.stream, &s.stream_listener, &kStreamEvents, &s);
  uint8_t memory[2048];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory, sizeof memory);
  std::vector<const spa_pod*> params = State::format_params(builder);
  const int result = pw().stream_connect(
      s.stream, PW_DIRECTION_INPUT, node_id,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_DONT_RECONNECT),
      params.data(), static_cast<uint32_t>(params.size()));
  if (result < 0) {
    why_not = std::string("cannot connect a PipeWire stream to node ") + std::to_string(node_id) +
              " (" + std::strerror(-result) + ")";
    pw().thread_loop_unlock(s.loop);
    return nullptr;
  }
  pw().thread_loop_unlock(s.loop);
  return std::unique_ptr<PipeWireStream>(new PipeWireStream(std::move(state)));
}

bool PipeWireStream::newest_frame(image::PixelView& out) {
  State& s = *state_;
  pw().thread_loop_lock(s.loop);
  s.wait_first_frame();
  if (!s.pending.empty()) {
    if (s.current.mapping) s.current.mapping->sync(DMA_BUF_SYNC_END);
    s.give_back(s.current);
    s.current = std::move(s.pending);
    s.pending = {};
    if (s.current.mapping) s.current.mapping->sync(DMA_BUF_SYNC_START);
    s.show_current();
  }
  // A broken stream shows nothing rather than its last picture for ever.
  const bool shown = !s.current.empty() && s.failure.empty();
  pw().thread_loop_unlock(s.loop);
  if (shown) out = s.view;
  return shown;
}

std::optional<image::Point> PipeWireStream::cursor() {
  pw().thread_loop_lock(state_->loop);
  state_->wait_first_frame();  // the metadata comes with the frames
  const std::optional<image::Point> position = state_->cursor;
  pw().thread_loop_unlock(state_->loop);
  return position;
}

std::string PipeWireStream::failure() {
  pw().thread_loop_lock(state_->loop);
  std::string why = state_->failure;
  if (why.empty() && state_->waited && state_->frames == 0)
    why = "no picture came within " + std::to_string(kFirstFrameWaitNs / 1'000'000'000) + " s";
  pw().thread_loop_unlock(state_->loop);
  return why;
}

platform::ScreenSize PipeWireStream::size() {
  pw().thread_loop_lock(state_->loop);
  state_->wait_first_frame();
  const platform::ScreenSize size = state_->have_format
                                        ? platform::ScreenSize{state_->width, state_->height}
                                        : platform::ScreenSize{};
  pw().thread_loop_unlock(state_->loop);
  return size;
}

}  // namespace tapline::platform::screencast
