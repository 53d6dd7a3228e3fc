// The device as HID devices of this machine's own kernel, made through /dev/uhid: the
// keyboard, pointer and touch functions with the gadget's report descriptors, each
// frame's reports given to the kernel as the hardware's input reports, and the
// computer's lock lights and report requests answered as the gadget answers them.
// Closing /dev/uhid removes the devices, so even a killed device leaves none behind.
#pragma once

#include <linux/uhid.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "hid/hid_presenter.h"
#include "hid/hid_reports.h"
#include "inputs/frame_input.h"

namespace tapline::device {

// The events the device writes for `function`: the device itself, with the device's
// identity and a name that says it is the software device ("Tapline software device
// keyboard"), and one input report.
uhid_event uhid_create_event(HidFunction function);
uhid_event uhid_input_event(const HidReport& report);

// What the device does with one event the kernel sent to `function`'s device.
struct UhidAnswer {
  std::optional<uhid_event> reply;  // to a GET_REPORT or SET_REPORT
  std::optional<uint8_t> leds;      // the computer set the keyboard's lock lights
  bool started = false;             // the kernel has bound a driver: reports are heard
};
UhidAnswer answer_uhid_event(HidFunction function, const uhid_event& event);

// The three devices, as a sink of frames and, through inputs(), sources for the receive
// loop (the kernel's events of each device).
class UhidDevices final : public HidPresenter {
 public:
  UhidDevices(uint8_t channel, std::FILE* log);
  ~UhidDevices() override;
  UhidDevices(const UhidDevices&) = delete;
  UhidDevices& operator=(const UhidDevices&) = delete;

  // Makes the devices and waits until the kernel has started each (5 s at most, and not
  // past a readable `stop_fd`). On failure says why in `error`: how to load uhid or to
  // be allowed to use it, where that is the reason.
  bool create(int stop_fd, std::string& error);
  std::array<FrameInput*, kInputFunctionCount> inputs();
  // Lifts what is still held, then removes the devices.
  void on_finish(const Summary& summary) override;

 private:
  struct Node final : public FrameInput {
    UhidDevices* owner = nullptr;
    HidFunction function = HidFunction::Keyboard;
    int descriptor = -1;
    int fd() const override { return descriptor; }
    bool read(Device& device, std::string& error) override;
  };

  void write_report(const HidReport& report) override;
  // One event read from `node`; false, with the reason, when /dev/uhid failed.
  bool take_event(Node& node, UhidAnswer& answer, std::string& error);
  void destroy();

  std::array<Node, kInputFunctionCount> nodes_;
  int64_t created_ns_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace tapline::device
