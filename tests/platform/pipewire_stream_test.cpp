// The PipeWire stream consumer against a producer of our own on a private PipeWire: each
// pixel format it offers reads as our pixels, and the cursor metadata gives the cursor; a
// screen made of such a stream says when the stream broke and keeps to the size asked.
#include "platform/screencast/pipewire_stream.h"

#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "mutter.h"
#include "platform/screencast/monitor_streams_screen.h"

namespace {

using tapline::platform::screencast::MonitorStreamsScreen;
using tapline::platform::screencast::PipeWireStream;
using tapline::testing::MutterOptions;
using tapline::testing::MutterServer;

constexpr int kWidth = 64, kHeight = 48;
constexpr int kStride = kWidth * 4 + 16;  // rows with room after them, as GPUs lay them out

// A video source that sends the same frame every 10 ms: pixel (x, y) is `word(x, y)` in its
// format, the cursor at (x, y) = (5, 7) in the metadata. Its buffers are memfds of its own,
// as a compositor's are; with `dmabuf` they are announced as DMA-BUFs of a linear layout
// (shared memory standing for them, as no GPU is at hand).
class Producer {
 public:
  Producer(spa_video_format format, uint32_t (*word)(int x, int y), bool dmabuf = false)
      : format_(format), word_(word), dmabuf_(dmabuf) {
    loop_ = pw_thread_loop_new("producer", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_thread_loop_start(loop_);
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    stream_ = pw_stream_new(core_, "test-source",
                            pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format && param) static_cast<Producer*>(self)->on_format();
      };
      e.process = [](void* self) { static_cast<Producer*>(self)->on_process(); };
      e.add_buffer = [](void* self, pw_buffer* buffer) {
        allocate(buffer->buffer->datas[0], static_cast<Producer*>(self)->dmabuf_);
      };
      e.remove_buffer = [](void*, pw_buffer* buffer) {
        spa_data& data = buffer->buffer->datas[0];
        munmap(data.data, data.maxsize);
        close(static_cast<int>(data.fd));
      };
      return e;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);
    uint8_t memory[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory, sizeof memory);
    const spa_pod* params[] = {format_param(builder, kWidth, kHeight)};
    pw_stream_connect(
        stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS), params,
        1);
    timer_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(loop_),
        [](void* self, uint64_t) {
          pw_stream_trigger_process(static_cast<Producer*>(self)->stream_);
        },
        this);
    timespec interval{0, 10'000'000};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &interval, &interval, false);
    pw_thread_loop_unlock(loop_);
  }
  ~Producer() {
    pw_thread_loop_stop(loop_);
    pw_stream_destroy(stream_);
    pw_core_disconnect(core_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
  }

  // Sends no more frames and announces a new size, as a monitor that changed its mode has
  // not drawn at its new size yet.
  void resize_without_drawing(int width, int height) {
    pw_thread_loop_lock(loop_);
    paused_ = true;
    uint8_t memory[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory, sizeof memory);
    const spa_pod* params[] = {format_param(builder, width, height)};
    pw_stream_update_params(stream_, params, 1);
    pw_thread_loop_unlock(loop_);
  }

  // The node id, once the daemon has given one.
  uint32_t node() {
    uint32_t id = PW_ID_ANY;
    for (int i = 0; i < 500 && id == PW_ID_ANY; ++i) {
      pw_thread_loop_lock(loop_);
      id = pw_stream_get_node_id(stream_);
      pw_thread_loop_unlock(loop_);
      if (id == PW_ID_ANY) usleep(10000);
    }
    return id;
  }

 private:
  void on_format() {
    uint8_t memory[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(memory, sizeof memory);
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 3, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(kStride * kHeight), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(kStride), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int(1 << (dmabuf_ ? SPA_DATA_DmaBuf : SPA_DATA_MemFd)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
            SPA_POD_Int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap))))};
    pw_stream_update_params(stream_, params, 2);
  }

  const spa_pod* format_param(spa_pod_builder& builder, int width, int height) const {
    const spa_rectangle size{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
    const spa_fraction rate{0, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format_),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_modifier,
        SPA_POD_OPT_Long(dmabuf_ ? &kLinear : nullptr)));
  }

  static void allocate(spa_data& data, bool dmabuf) {
    const int fd = memfd_create("frame", MFD_CLOEXEC);
    data.type = dmabuf ? SPA_DATA_DmaBuf : SPA_DATA_MemFd;
    data.flags = SPA_DATA_FLAG_READWRITE;
    data.fd = fd;
    data.mapoffset = 0;
    data.maxsize = kStride * kHeight;
    if (fd < 0 || ftruncate(fd, data.maxsize) != 0) return;
    data.data = mmap(nullptr, data.maxsize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }

  void on_process() {
    if (paused_) return;
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (buffer == nullptr) return;
    spa_data& data = buffer->buffer->datas[0];
    if (data.data != nullptr) {
      for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
          const uint32_t w = word_(x, y);
          std::memcpy(static_cast<uint8_t*>(data.data) + y * kStride + x * 4, &w, 4);
        }
      data.chunk->offset = 0;
      data.chunk->size = kStride * kHeight;
      data.chunk->stride = kStride;
    }
    if (auto* cursor = static_cast<spa_meta_cursor*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)))) {
      *cursor = {};
      cursor->id = 1;
      cursor->position = {5, 7};
    }
    pw_stream_queue_buffer(stream_, buffer);
  }

  static constexpr int64_t kLinear = 0;  // DRM_FORMAT_MOD_LINEAR
  spa_video_format format_;
  uint32_t (*word_)(int x, int y);
  bool dmabuf_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  spa_source* timer_ = nullptr;
  bool paused_ = false;
};

// The colour every test pixel should read as: red, green and blue from the position.
uint32_t red(int x, int) { return static_cast<uint32_t>(x * 4); }
uint32_t green(int, int y) { return static_cast<uint32_t>(y * 5); }
uint32_t blue(int x, int y) { return static_cast<uint32_t>((x + y) & 0xFF); }

struct Case {
  spa_video_format format;
  uint32_t (*word)(int x, int y);
  bool dmabuf = false;
};

// Each layout puts the channels in its own places; the 10-bit ones carry our 8 bits on top.
const Case kCases[] = {
    {SPA_VIDEO_FORMAT_BGRx,
     [](int x, int y) { return blue(x, y) | green(x, y) << 8 | red(x, y) << 16; }},
    {SPA_VIDEO_FORMAT_RGBA,
     [](int x, int y) { return red(x, y) | green(x, y) << 8 | blue(x, y) << 16 | 0xFF000000u; }},
    {SPA_VIDEO_FORMAT_xRGB_210LE,
     [](int x, int y) { return blue(x, y) << 2 | 3 | green(x, y) << 12 | red(x, y) << 22; }},
    {SPA_VIDEO_FORMAT_xBGR_210LE,
     [](int x, int y) { return red(x, y) << 2 | green(x, y) << 12 | blue(x, y) << 22 | 1; }},
    {SPA_VIDEO_FORMAT_BGRA,
     [](int x, int y) { return blue(x, y) | green(x, y) << 8 | red(x, y) << 16; }, true},
};

// Each test on a PipeWire of its own (a session without monitors), its consumers
// connecting to it.
class PipeWireConsumer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = MutterServer::skip_reason(); !reason.empty())
      GTEST_SKIP() << reason;
    MutterOptions options;
    options.monitors.clear();
    session_ = std::make_unique<MutterServer>(options);
    setenv("PIPEWIRE_RUNTIME_DIR", session_->runtime_dir().c_str(), 1);
    pw_init(nullptr, nullptr);
  }

  std::unique_ptr<MutterServer> session_;
};

TEST_F(PipeWireConsumer, EachOfferedFormatReadsAsOurPixelsWithTheCursor) {
  for (const Case& c : kCases) {
    SCOPED_TRACE("format " + std::to_string(c.format) + (c.dmabuf ? " in DMA-BUFs" : ""));
    Producer producer(c.format, c.word, c.dmabuf);
    const uint32_t node = producer.node();
    ASSERT_NE(node, PW_ID_ANY);
    std::string why_not;
    auto stream = PipeWireStream::open(-1, node, why_not);
    ASSERT_TRUE(stream) << why_not;
    tapline::image::PixelView frame;
    ASSERT_TRUE(stream->newest_frame(frame));
    ASSERT_EQ(frame.width, kWidth);
    ASSERT_EQ(frame.height, kHeight);
    // Our own layout is read where it lies (the producer's row length); others are converted.
    const bool ours = c.format == SPA_VIDEO_FORMAT_BGRx || c.format == SPA_VIDEO_FORMAT_BGRA;
    EXPECT_EQ(frame.row_step, ours ? kStride / 4 : kWidth);
    EXPECT_EQ(stream->size().width, kWidth);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        ASSERT_EQ(tapline::image::color_of(frame.row(y)[x]),
                  red(x, y) | green(x, y) << 8 | blue(x, y) << 16)
            << x << ", " << y;
    ASSERT_TRUE(stream->cursor());
    EXPECT_EQ(stream->cursor()->x, 5);
    EXPECT_EQ(stream->cursor()->y, 7);
    // A later frame replaces the first one.
    ASSERT_TRUE(stream->newest_frame(frame));
  }
}

TEST_F(PipeWireConsumer, ANodeThatIsNotThereGivesNoPictureAndSaysWhy) {
  std::string why_not;
  auto stream = PipeWireStream::open(-1, 99999, why_not);
  ASSERT_TRUE(stream) << why_not;
  tapline::image::PixelView frame;
  EXPECT_FALSE(stream->newest_frame(frame));
  EXPECT_FALSE(stream->newest_frame(frame));
  EXPECT_EQ(stream->size().width, 0);
  EXPECT_NE(stream->failure(), "");
}

// A screen of one monitor, "DP-1", that shows `producer`'s stream (given in `stream` too);
// nullptr when the stream does not open.
std::unique_ptr<MonitorStreamsScreen> screen_of(Producer& producer,
                                                PipeWireStream** stream = nullptr) {
  std::string why_not;
  auto opened = PipeWireStream::open(-1, producer.node(), why_not);
  EXPECT_TRUE(opened) << why_not;
  if (!opened) return nullptr;
  if (stream) *stream = opened.get();
  std::vector<MonitorStreamsScreen::Monitor> monitors;
  monitors.push_back({std::move(opened), {0, 0}, "DP-1"});
  return std::make_unique<MonitorStreamsScreen>(std::move(monitors), "the test's screen cast");
}

// A monitor whose stream broke gives no colour: its pixels are unknown, not black, and the
// reason is said.
TEST_F(PipeWireConsumer, AMonitorWhoseStreamBrokeReadsAsUnknownNotBlack) {
  auto producer = std::make_unique<Producer>(SPA_VIDEO_FORMAT_BGRx, kCases[0].word);
  PipeWireStream* watched = nullptr;
  const auto made = screen_of(*producer, &watched);
  ASSERT_TRUE(made);
  MonitorStreamsScreen& screen = *made;
  ASSERT_EQ(screen.pixel({3, 2}), red(3, 2) | green(3, 2) << 8 | blue(3, 2) << 16);

  producer.reset();
  for (int i = 0; i < 500 && watched->failure().empty(); ++i) usleep(10000);
  ASSERT_NE(watched->failure(), "");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(screen.pixel({3, 2}), std::nullopt);
  tapline::image::PixelView view;
  EXPECT_FALSE(screen.grab(kWidth, kHeight, view));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("the test's screen cast of monitor DP-1 "
                                                          "gives no picture: the PipeWire stream"),
            std::string::npos);
}

// A monitor that changed size but has not sent a picture at its new size yet: a grab of
// the new size still gives that size (black where the last picture does not reach), as
// the searches read all of it.
TEST_F(PipeWireConsumer, AGrabWhileTheMonitorChangesSizeCoversWhatWasAsked) {
  Producer producer(SPA_VIDEO_FORMAT_BGRx, kCases[0].word);
  const auto made = screen_of(producer);
  ASSERT_TRUE(made);
  MonitorStreamsScreen& screen = *made;
  tapline::image::PixelView view;
  ASSERT_TRUE(screen.grab(kWidth, kHeight, view));

  producer.resize_without_drawing(kWidth + 16, kHeight + 8);
  for (int i = 0; i < 500 && screen.size().width != kWidth + 16; ++i) usleep(10000);
  ASSERT_EQ(screen.size().height, kHeight + 8);
  ASSERT_TRUE(screen.grab(kWidth + 16, kHeight + 8, view));
  EXPECT_EQ(view.width, kWidth + 16);
  ASSERT_EQ(view.height, kHeight + 8);
  EXPECT_EQ(tapline::image::color_of(view.row(2)[3]),
            red(3, 2) | green(3, 2) << 8 | blue(3, 2) << 16);
  EXPECT_EQ(view.row(kHeight + 7)[kWidth + 15], 0u);
}

}  // namespace
