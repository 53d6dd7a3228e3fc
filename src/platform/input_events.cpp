#include "platform/input_events.h"

#include <atomic>
#include <string>

#include "platform/backend_table.h"
#include "platform/key_state.h"
#include "system/console.h"

namespace tapline::platform {
namespace {

// A row for each key source of the key state's table (platform/key_state.cpp), by name.
const BackendRow<std::unique_ptr<InputListener>(InputSink, void*, const InputListenOptions&,
                                                std::string&)>
    kInputBackends[] = {
        {"x11", Desktops::x11, listen_to_x11_input},
#ifdef TAPLINE_WITH_EVDEV
        {"evdev", Desktops::either, listen_to_evdev_input},
#endif
};

}  // namespace

std::unique_ptr<InputListener> listen_to_host_input(InputSink sink, void* context,
                                                    const InputListenOptions& options) {
  // Only the chosen source: another would see other keys (Xwayland only its own windows').
  const BackendWish wish{Desktop::x11, chosen_key_source()};
  auto chosen = choose_backend(kInputBackends, wish, sink, context, options);
  if (chosen.made) return std::move(chosen.made);
  static std::atomic<bool> said{false};
  if (!said.exchange(true))
    system::console_diagnostic("host key and mouse events are unavailable: %s\n",
                               chosen.reasons().c_str());
  return nullptr;
}

}  // namespace tapline::platform
