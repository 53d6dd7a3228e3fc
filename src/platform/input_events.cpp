#include "platform/input_events.h"

#include <atomic>
#include <string>

#include "platform/evdev/input_events.h"
#include "platform/key_state.h"
#include "platform/x11/input_events.h"
#include "system/console.h"

namespace tapline::platform {

std::unique_ptr<InputListener> listen_to_host_input(InputSink sink, void* context,
                                                    const InputListenOptions& options) {
  // Only the chosen source: another would see other keys (Xwayland only its own windows').
  std::string unavailable;
  auto listener = chosen_key_source() == KeySource::x11
                      ? listen_to_x11_input(sink, context, options, unavailable)
                      : listen_to_evdev_input(sink, context, options, unavailable);
  if (listener) return listener;
  static std::atomic<bool> said{false};
  if (!said.exchange(true))
    system::console_diagnostic("host key and mouse events are unavailable: %s\n",
                               unavailable.c_str());
  return nullptr;
}

}  // namespace tapline::platform
