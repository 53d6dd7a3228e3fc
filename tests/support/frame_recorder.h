// A SendCallback that records every frame, for tests of the command layer.
#pragma once

#include <cstdint>
#include <vector>

#include "tapline.h"

namespace tapline::testing {

using Frame = std::vector<uint8_t>;

// Installs itself as the SendCallback for its lifetime and restores none afterwards.
class FrameRecorder {
 public:
  FrameRecorder();
  ~FrameRecorder();
  FrameRecorder(const FrameRecorder&) = delete;
  FrameRecorder& operator=(const FrameRecorder&) = delete;

  const std::vector<Frame>& frames() const;
  void clear();

 private:
  static void record(const uint8_t* frame, int length);
};

// Frame bytes from text such as "2C 08 41 41 00".
Frame hex_frame(const char* text);

}  // namespace tapline::testing
