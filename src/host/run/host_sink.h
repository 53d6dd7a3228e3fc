// Host-window texts for the console program, which has no host window of its own.
#pragma once

namespace tapline {

// Registers a host window that writes every host-window text (print, TracePrint, notices)
// to standard error, unless the environment variable TAPLINE_HOST_MESSAGES is "none".
// True when registered.
bool install_host_sink_from_environment();

// Waits until every posted host-window text has been written; call before exiting.
void flush_host_sink();

}  // namespace tapline
