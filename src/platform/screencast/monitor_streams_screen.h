// A screen made of monitor video streams placed in a layout: the bounding box of the
// monitors, each monitor's newest frame in its place, black where no monitor is. The desktop
// screen sources that receive their monitors over PipeWire build on it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/screen_source.h"
#include "platform/screencast/pipewire_stream.h"

namespace tapline::platform::screencast {

class MonitorStreamsScreen : public ScreenSource {
 public:
  struct Monitor {
    std::unique_ptr<PipeWireStream> stream;
    image::Point place;  // the top-left corner in the layout, any origin
    std::string name;    // for the one line that says it shows nothing
    bool said = false;
  };

  // `source` names the screen source in that line ("the desktop portal's screen cast").
  MonitorStreamsScreen(std::vector<Monitor> monitors, std::string source);

  ScreenSize size() override;
  // Where the monitor that shows the cursor says it is; while none does (it is hidden for
  // a moment), where it was last seen.
  std::optional<ScreenPoint> cursor() override;
  std::optional<ColorValue> pixel(ScreenPoint point) override;
  bool grab(int width, int height, PixelView& out) override;

 protected:
  // Ends the streams, for a source whose session must outlive them.
  void end_streams() { monitors_.clear(); }

 private:
  void say_once(Monitor& monitor);

  std::vector<Monitor> monitors_;  // places counted from the layout's top-left corner
  std::string source_;
  std::optional<ScreenPoint> last_cursor_;
  std::vector<Pixel> composed_;
};

}  // namespace tapline::platform::screencast
