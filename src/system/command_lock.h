// The one lock of the exported interface.
#pragma once

namespace tapline::system {

// Serialises the command layer for hosts that call the exports from several threads: the
// SendCallback and channel, the held inputs, the touch area, the text interpreter's state
// and the transports' state. An export that sends takes it for its whole command, so that
// the frames of one command (a press, its pause, its release) arrive together; a host
// thread calling another export meanwhile waits. Recursive: exports call each other.
class CommandLock {
 public:
  CommandLock();
  ~CommandLock();
  CommandLock(const CommandLock&) = delete;
  CommandLock& operator=(const CommandLock&) = delete;
};

}  // namespace tapline::system
