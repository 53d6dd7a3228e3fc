// Waiting on descriptors for a peer (a compositor, a window manager, a clipboard owner, a
// D-Bus service) that may never answer: each wait has a deadline, kept whole across
// interrupted polls, and a stop request ends it at once.
#pragma once

#include <poll.h>

#include <chrono>
#include <span>

namespace tapline::system {

using Deadline = std::chrono::steady_clock::time_point;

// How long a desktop peer may stay silent before it counts as hung: one that is merely
// busy answers well within it.
inline constexpr std::chrono::milliseconds kPeerAnswerTimeout{5000};

inline Deadline deadline_after(std::chrono::milliseconds bound) {
  return std::chrono::steady_clock::now() + bound;
}

enum class WaitEnd { ready, timed_out, stopped, failed };

// Polls `fds` until one of them has an event (their revents tell which), the deadline
// passes or a stop is requested. On a stop the console program ends here (check_stop);
// where it does not (another thread, no stop action), `stopped` is returned.
WaitEnd wait_ready(std::span<pollfd> fds, Deadline deadline);

}  // namespace tapline::system
