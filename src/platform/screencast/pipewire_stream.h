// A screen video stream received over PipeWire: the newest complete frame is kept, so that a
// grab reads it where it lies instead of waiting for the next one. The stream runs on a
// thread of its own; every call here comes from one other thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "image/pixels.h"
#include "platform/screen_source.h"

namespace tapline::platform::screencast {

class PipeWireStream {
 public:
  // Connects to node `node_id`: over `remote_fd` when it is 0 or more (a PipeWire remote
  // handed over by a desktop portal; owned from here on, even on failure), else to the
  // session's PipeWire daemon. nullptr with the reason in `why_not` when that fails.
  static std::unique_ptr<PipeWireStream> open(int remote_fd, uint32_t node_id,
                                              std::string& why_not);
  ~PipeWireStream();
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  // The newest complete frame, valid until the next call or until the stream is destroyed.
  // The first call waits for a frame (a few seconds at most). False when there is none.
  bool newest_frame(image::PixelView& out);
  // The cursor position on the stream's picture as the cursor metadata last gave it (waits
  // for the first frame like newest_frame); empty while the cursor is elsewhere or hidden.
  std::optional<image::Point> cursor();
  // Why the stream gives no picture (it broke, or none came in time); empty while it does.
  std::string failure();
  // The size of the stream's frames (waits for the first frame like newest_frame); 0 x 0
  // when none came.
  platform::ScreenSize size();

  struct State;

 private:
  explicit PipeWireStream(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tapline::platform::screencast
