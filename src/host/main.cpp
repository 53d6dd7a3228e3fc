// The console program: runs one script and sends its commands over USB or UDP, or runs
// the mode an option as the first argument chooses.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "command/held_inputs.h"
#include "host/modes.h"
#include "host/run/command_line.h"
#include "host/run/host_sink.h"
#include "system/console.h"
#include "system/stop_request.h"
#include "tapline.h"

namespace {

bool host_sink = false;

// Runs at a safe point after a terminating signal (or a write to a closed standard
// output), never in the signal handler: whatever the script left held on the target is
// lifted through the open transport (with its pacing), then the process ends with the
// signal's conventional status.
[[noreturn]] void stop_run(int signal) {
  const int released = tapline::release_held_inputs();
  close_hiddev();  // ends the read thread and closes the device; nothing when none is open
  tapline::system::console_diagnostic("stopped by %s; %d release report%s sent\n",
                                      tapline::system::signal_name(signal), released,
                                      released == 1 ? "" : "s");
  if (host_sink) tapline::flush_host_sink();
  std::fflush(stdout);
  std::fflush(stderr);
  // The script's state is in the middle of a call: nothing of it may be torn down.
  std::_Exit(128 + signal);
}

// The mode without an option: runs the script the first argument names.
int run(int argc, char** argv) {
  // Each console line leaves at once, also into a pipe: the echo shows the script's
  // progress as it happens, and a stop loses nothing already printed.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  tapline::system::install_stop_handlers(stop_run);
  host_sink = tapline::install_host_sink_from_environment();
  const int status = tapline::run_command_line(argc, argv, {open_hiddev_default, close_hiddev});
  // A stop that came where nothing looked for it (the usage prompt) still ends the run
  // as a stop.
  tapline::system::check_stop();
  if (host_sink) tapline::flush_host_sink();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Console text follows the locale's character set.
  std::setlocale(LC_ALL, "");
  if (const tapline::ProgramMode* mode = tapline::chosen_mode(argc, argv))
    return mode->enter(argc - 2, argv + 2);
  return run(argc, argv);
}
