// The device on a Linux USB gadget: takes command frames from the gadget's command
// function and presents each report on the HID function that carries it, as the
// device's firmware does. The gadget itself is made by scripts/gadget-setup: four HID
// functions in interface order, keyboard, pointer, touch, command, with the descriptors
// of hid/hid_reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "hid/hid_presenter.h"
#include "hid/hid_reports.h"
#include "inputs/frame_input.h"

namespace tapline::device {

// Finds the /dev/hidgN node of each function of the configfs gadget `name`. On failure
// returns false and says why in `error`.
bool find_gadget_nodes(const char* name, std::array<std::string, kHidFunctionCount>& nodes,
                       std::string& error);

// The sink that writes each frame's reports to the gadget. Frames of other channels are
// left to other sinks. A report the host does not take within a short time is dropped
// and counted, so that a host that stopped reading never stalls the command path. As a
// source for the receive loop it reads the keyboard's output report: the lock lights the
// host sets.
class GadgetPresenter final : public HidPresenter, public FrameInput {
 public:
  // `nodes` from find_gadget_nodes; messages go to `log`.
  GadgetPresenter(const std::array<std::string, kHidFunctionCount>& nodes, uint8_t channel,
                  std::FILE* log);
  ~GadgetPresenter() override;
  GadgetPresenter(const GadgetPresenter&) = delete;
  GadgetPresenter& operator=(const GadgetPresenter&) = delete;

  // Whether every input function could be opened; `error` says which could not.
  bool ready(std::string& error) const;

  // Lifts what is still held, then says how many reports the host did not take.
  void on_finish(const Summary& summary) override;

  // The keyboard function, readable when the host has set its lights.
  int fd() const override { return fds_[static_cast<size_t>(HidFunction::Keyboard)]; }
  bool read(Device& device, std::string& error) override;

 private:
  void write_report(const HidReport& report) override;

  std::array<int, kHidFunctionCount> fds_{};
  std::array<std::string, kHidFunctionCount> nodes_;
  std::string open_error_;
  uint64_t dropped_ = 0;
  int64_t opened_ns_ = 0;
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
