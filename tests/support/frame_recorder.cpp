#include "frame_recorder.h"

#include <cstdlib>

namespace tapline::testing {
namespace {
std::vector<Frame> recorded;
}

FrameRecorder::FrameRecorder() {
  recorded.clear();
  set_send_cb(&FrameRecorder::record);
}

FrameRecorder::~FrameRecorder() { set_send_cb(nullptr); }

const std::vector<Frame>& FrameRecorder::frames() const { return recorded; }

void FrameRecorder::clear() { recorded.clear(); }

void FrameRecorder::record(const uint8_t* frame, int length) {
  recorded.emplace_back(frame, frame + (length & 0xFF));
}

Frame hex_frame(const char* text) {
  Frame bytes;
  char* end = nullptr;
  for (const char* p = text; *p;) {
    const unsigned long value = std::strtoul(p, &end, 16);
    if (end == p) break;
    bytes.push_back(static_cast<uint8_t>(value));
    p = end;
  }
  return bytes;
}

}  // namespace tapline::testing
