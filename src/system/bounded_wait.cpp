#include "system/bounded_wait.h"

#include <cerrno>
#include <vector>

#include "system/stop_request.h"

namespace tapline::system {

WaitEnd wait_ready(std::span<pollfd> fds, Deadline deadline) {
  std::vector<pollfd> watched(fds.begin(), fds.end());
  const int stop_fd = stop_wake_fd();
  if (stop_fd >= 0) watched.push_back({stop_fd, POLLIN, 0});
  for (;;) {
    if (stop_requested()) {
      check_stop();  // the console program ends here on a stop
      return WaitEnd::stopped;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return WaitEnd::timed_out;
    const int polled = poll(watched.data(), watched.size(), static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;  // the same deadline
    if (polled < 0) return WaitEnd::failed;
    if (polled == 0) continue;  // the deadline is seen above
    // Readable without a request of this process (a forked copy shares the descriptor):
    // the wait ends all the same.
    if (stop_fd >= 0 && watched.back().revents != 0) {
      if (stop_requested()) continue;
      return WaitEnd::stopped;
    }
    for (size_t i = 0; i < fds.size(); ++i) fds[i].revents = watched[i].revents;
    return WaitEnd::ready;
  }
}

}  // namespace tapline::system
