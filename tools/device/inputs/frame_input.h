// A source of frames that the receive loop watches beside its UDP socket, such as the
// command function of a USB gadget.
#pragma once

#include <string>

#include "core/device.h"

namespace tapline::device {

class FrameInput {
 public:
  virtual ~FrameInput() = default;
  virtual int fd() const = 0;
  // The descriptor is readable: hand what it has to `device`. False, with the reason in
  // `error`, when the source has failed for good.
  virtual bool read(Device& device, std::string& error) = 0;
};

}  // namespace tapline::device
