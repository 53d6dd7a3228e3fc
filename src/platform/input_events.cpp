#include "platform/input_events.h"

#include <atomic>
#include <string>

#include "platform/console.h"
#include "platform/x11/input_events.h"

namespace tapline::platform {
namespace {

// The host input sources this build can read, in the order they are tried: the first that
// starts is used.
struct InputBackend {
  std::unique_ptr<InputListener> (*start)(InputSink sink, void* context,
                                          const InputListenOptions& options,
                                          std::string& unavailable);
};

constexpr InputBackend kBackends[] = {
    {listen_to_x11_input},
};

}  // namespace

std::unique_ptr<InputListener> listen_to_host_input(InputSink sink, void* context,
                                                    const InputListenOptions& options) {
  std::string reasons;
  for (const InputBackend& backend : kBackends) {
    std::string unavailable;
    if (auto listener = backend.start(sink, context, options, unavailable)) return listener;
    if (!reasons.empty()) reasons += "; ";
    reasons += unavailable;
  }
  static std::atomic<bool> said{false};
  if (!said.exchange(true))
    console_diagnostic("host key and mouse events are unavailable: %s\n", reasons.c_str());
  return nullptr;
}

}  // namespace tapline::platform
