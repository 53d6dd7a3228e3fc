#include "host/run/host_sink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command/host_message.h"
#include "system/console.h"
#include "tapline.h"

namespace tapline {
namespace {

// Generous: delivery only writes to standard error, so anything slower is a stuck pipe.
constexpr std::chrono::seconds kFlushTimeout{10};

void write_to_stderr(unsigned int, uintptr_t, char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
  std::free(text);
}

}  // namespace

bool install_host_sink_from_environment() {
  // print and TracePrint write to the host window; the console program is its own host
  // and shows those texts on standard error unless told not to.
  const char* target = std::getenv("TAPLINE_HOST_MESSAGES");
  if (target != nullptr && std::strcmp(target, "none") == 0) return false;
  if (target != nullptr && target[0] != '\0' && std::strcmp(target, "stderr") != 0)
    system::console_diagnostic(
        "TAPLINE_HOST_MESSAGES=%s is not understood (only \"stderr\" and \"none\" are); "
        "host-window texts go to standard error\n",
        target);
  set_apphandle(write_to_stderr);
  return true;
}

void flush_host_sink() {
  if (!flush_host_messages(kFlushTimeout))
    system::console_diagnostic("host-window texts were still being written at exit\n");
}

}  // namespace tapline
