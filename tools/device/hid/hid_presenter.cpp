#include "hid/hid_presenter.h"

#include <variant>

#include "core/usage_names.h"

namespace tapline::device {

void HidPresenter::on_frame(const ReceivedFrame& received) {
  const Frame& frame = received.frame;
  if (frame.channel != channel_) return;
  if (const auto* command = std::get_if<DeviceCommandFields>(&frame.fields)) {
    const char* name = device_command_name(command->command, command->complement);
    std::fprintf(log_, "tapline-device: device command %02x %02x (%s) logged, not carried out\n",
                 command->command, command->complement, name != nullptr ? name : "unknown");
    return;
  }
  std::array<HidReport, 2> reports;
  const size_t count = reports_.reports_for(frame, reports);
  for (size_t i = 0; i < count; ++i) write_report(reports[i]);
}

void HidPresenter::on_finish(const Summary&) {
  std::array<HidReport, 6> releases;
  for (size_t i = 0, count = reports_.releases(releases); i < count; ++i) write_report(releases[i]);
}

}  // namespace tapline::device
