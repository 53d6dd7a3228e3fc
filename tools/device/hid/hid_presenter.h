// What the gadget and the uhid devices share as sinks: frames of one channel become the
// input reports of hid_reports, device commands are logged and not carried out, and the
// stop lifts everything. Each kind of device says only how a report reaches the computer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/frame_sink.h"
#include "hid/hid_reports.h"

namespace tapline::device {

class HidPresenter : public FrameSink {
 public:
  // Frames of `channel` are presented; messages go to `log`.
  HidPresenter(uint8_t channel, std::FILE* log) : channel_(channel), log_(log) {}

  void on_frame(const ReceivedFrame& received) final;
  void on_rejected(const RejectedDatagram&) final {}
  // Lifts whatever is still held on the computer.
  void on_finish(const Summary& summary) override;

 protected:
  virtual void write_report(const HidReport& report) = 0;

  uint8_t channel_;
  std::FILE* log_;

 private:
  HidReports reports_;
};

}  // namespace tapline::device
