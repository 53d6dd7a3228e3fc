// The device on a Linux USB gadget: takes command frames from the gadget's command
// function and presents each report on the HID function that carries it, as the
// device's firmware does. The gadget itself is made by scripts/gadget-setup: four HID
// functions in interface order, keyboard, pointer, touch, command.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/frame_sink.h"
#include "inputs/frame_input.h"

namespace tapline::device {

// The gadget's HID functions, in interface order.
enum class GadgetFunction : uint8_t { Keyboard, Pointer, Touch, Command };
inline constexpr size_t kGadgetFunctionCount = 4;

// Report ids inside the functions that carry more than one report.
inline constexpr uint8_t kRelativeMouseReportId = 1;
inline constexpr uint8_t kAbsoluteMouseReportId = 2;
inline constexpr uint8_t kJoystickReportId = 3;
inline constexpr uint8_t kTouchReportId = 1;
inline constexpr uint8_t kConsumerReportId = 2;
inline constexpr uint8_t kSystemControlReportId = 3;
inline constexpr size_t kTouchContacts = 2;
// The command function's reports: 64 bytes each way, no report id.
inline constexpr size_t kCommandReportSize = 64;

// Finds the /dev/hidgN node of each function of the configfs gadget `name`. On failure
// returns false and says why in `error`.
bool find_gadget_nodes(const char* name, std::array<std::string, kGadgetFunctionCount>& nodes,
                       std::string& error);

// One input report for one of the gadget's functions.
struct GadgetReport {
  GadgetFunction function;
  std::array<uint8_t, 16> bytes;
  size_t size;
};

// Turns frames into the input reports of the gadget's functions. Touch contacts 0 and 1
// are remembered, because each touch report carries both.
class GadgetReports {
 public:
  // The reports that present `frame` (none for device commands and unknown contacts),
  // written into `out`; returns how many.
  size_t reports_for(const Frame& frame, std::array<GadgetReport, 2>& out);
  // The reports that lift every key, button and contact.
  size_t releases(std::array<GadgetReport, 6>& out) const;

 private:
  GadgetReport touch_report() const;

  struct Contact {
    bool down = false;
    uint16_t x = 0;
    uint16_t y = 0;
  };
  std::array<Contact, kTouchContacts> contacts_{};
  uint16_t absolute_x_ = 0;
  uint16_t absolute_y_ = 0;
};

// The sink that writes each frame's reports to the gadget. Frames of other channels are
// left to other sinks. A report the host does not take within a short time is dropped
// and counted, so that a host that stopped reading never stalls the command path.
class GadgetPresenter final : public FrameSink {
 public:
  // `nodes` from find_gadget_nodes; messages go to `log`.
  GadgetPresenter(const std::array<std::string, kGadgetFunctionCount>& nodes, uint8_t channel,
                  std::FILE* log);
  ~GadgetPresenter() override;
  GadgetPresenter(const GadgetPresenter&) = delete;
  GadgetPresenter& operator=(const GadgetPresenter&) = delete;

  // Whether every input function could be opened; `error` says which could not.
  bool ready(std::string& error) const;

  void on_frame(const ReceivedFrame& received) override;
  void on_rejected(const RejectedDatagram&) override {}
  // Lifts whatever is still held on the target.
  void on_finish(const Summary& summary) override;

 private:
  void write_report(const GadgetReport& report);

  std::array<int, kGadgetFunctionCount> fds_{};
  std::array<std::string, kGadgetFunctionCount> nodes_;
  std::string open_error_;
  uint8_t channel_;
  std::FILE* log_;
  GadgetReports reports_;
  uint64_t dropped_ = 0;
};

// The command function as a source of frames for the receive loop.
class GadgetCommandInput final : public FrameInput {
 public:
  GadgetCommandInput() = default;
  GadgetCommandInput(const GadgetCommandInput&) = delete;
  GadgetCommandInput& operator=(const GadgetCommandInput&) = delete;
  ~GadgetCommandInput() override;

  bool open(const std::string& node, std::string& error);
  int fd() const override { return fd_; }
  bool read(Device& device, std::string& error) override;

 private:
  int fd_ = -1;
  std::string node_;
  int64_t opened_ns_ = 0;
};

}  // namespace tapline::device
