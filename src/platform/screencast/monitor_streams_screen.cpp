#include "platform/screencast/monitor_streams_screen.h"

#include <algorithm>
#include <cstring>

#include "system/console.h"

namespace tapline::platform::screencast {

MonitorStreamsScreen::MonitorStreamsScreen(std::vector<Monitor> monitors, std::string source)
    : monitors_(std::move(monitors)), source_(std::move(source)) {
  if (monitors_.empty()) return;
  image::Point origin = monitors_[0].place;
  for (const Monitor& monitor : monitors_) {
    origin.x = std::min(origin.x, monitor.place.x);
    origin.y = std::min(origin.y, monitor.place.y);
  }
  for (Monitor& monitor : monitors_) {
    monitor.place.x -= origin.x;
    monitor.place.y -= origin.y;
  }
}

void MonitorStreamsScreen::say_once(Monitor& monitor) {
  if (monitor.said) return;
  monitor.said = true;
  system::console_diagnostic("%s of monitor %s gives no picture: %s\n", source_.c_str(),
                             monitor.name.c_str(), monitor.stream->failure().c_str());
}

ScreenSize MonitorStreamsScreen::size() {
  ScreenSize box;
  for (Monitor& monitor : monitors_) {
    const ScreenSize own = monitor.stream->size();
    if (own.width <= 0 || own.height <= 0) {
      say_once(monitor);
      continue;
    }
    box.width = std::max(box.width, monitor.place.x + own.width);
    box.height = std::max(box.height, monitor.place.y + own.height);
  }
  return box;
}

std::optional<ScreenPoint> MonitorStreamsScreen::cursor() {
  for (Monitor& monitor : monitors_)
    if (const auto seen = monitor.stream->cursor())
      last_cursor_ = ScreenPoint{monitor.place.x + seen->x, monitor.place.y + seen->y};
  return last_cursor_;
}

std::optional<ColorValue> MonitorStreamsScreen::pixel(ScreenPoint point) {
  for (Monitor& monitor : monitors_) {
    const int x = point.x - monitor.place.x, y = point.y - monitor.place.y;
    const ScreenSize own = monitor.stream->size();
    if (x < 0 || y < 0 || x >= own.width || y >= own.height) continue;
    // On a monitor whose stream gives no picture the pixel is unknown, not black.
    PixelView frame;
    if (!monitor.stream->newest_frame(frame)) {
      say_once(monitor);
      return std::nullopt;
    }
    if (x < frame.width && y < frame.height) return image::color_of(frame.row(y)[x]);
  }
  // Between monitors the screen is black, as a grab shows it.
  const ScreenSize box = size();
  if (point.x < 0 || point.y < 0 || point.x >= box.width || point.y >= box.height)
    return std::nullopt;
  return ColorValue{0};
}

bool MonitorStreamsScreen::grab(int width, int height, PixelView& out) {
  out = PixelView{};
  if (width <= 0 || height <= 0) return false;
  // One monitor: its newest frame where it lies, when that covers what was asked (a monitor
  // that just changed size may not have sent a picture of its new size yet).
  if (monitors_.size() == 1) {
    if (!monitors_[0].stream->newest_frame(out)) {
      say_once(monitors_[0]);
      return false;
    }
    if (out.width >= width && out.height >= height) {
      out.width = width, out.height = height;
      return true;
    }
    out = PixelView{};
  }
  // Several, or a frame smaller than asked: each newest frame copied into its place; what no
  // monitor covers is black.
  const size_t count = static_cast<size_t>(width) * height;
  if (composed_.size() != count) composed_.assign(count, 0);
  std::fill(composed_.begin(), composed_.end(), 0);
  bool any = false;
  for (Monitor& monitor : monitors_) {
    PixelView frame;
    if (!monitor.stream->newest_frame(frame)) {
      say_once(monitor);
      continue;
    }
    any = true;
    const int left = monitor.place.x, top = monitor.place.y;
    const int columns = std::min(frame.width, width - left);
    for (int y = 0; y < frame.height && top + y < height; ++y)
      if (columns > 0)
        std::memcpy(composed_.data() + static_cast<ptrdiff_t>(top + y) * width + left, frame.row(y),
                    static_cast<size_t>(columns) * sizeof(Pixel));
  }
  if (any) out = PixelView{composed_.data(), width, width, height};
  return any;
}

}  // namespace tapline::platform::screencast
