// Stopping a run on a terminating signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1,
// SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, or a write to a standard output nobody reads any
// more) without sending anything from a signal handler.
// The handler only records the signal (and wakes a sleeping clock); the stop is acted on
// at the next safe point: a sleep of the system clock, the script's instruction-count
// hook, or a pass of the script's event loop.
#pragma once

#include <csignal>

namespace tapline::system {

// The signals whose default action would end the process and that can be caught; each
// one takes the same safe stop. SIGPIPE is ignored instead: the failed write says it.
inline constexpr int kStopSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1,
                                       SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ};

// What to do at a safe point once a stop was requested; receives the signal number. The
// console program lifts what the device holds and ends the process there.
using StopAction = void (*)(int signal);

// Installs handlers for kStopSignals that request a stop, ignores SIGPIPE, and installs
// the action that check_stop runs on the calling thread (and no other). Without it,
// signals keep their default action.
void install_stop_handlers(StopAction action);

// "SIGINT", "SIGHUP" and so on for the signals above.
const char* signal_name(int signal);

// Records a stop request (async-signal-safe); also what the handlers call.
void request_stop(int signal);
// True once a stop was requested.
bool stop_requested();
// The signal of the request, 0 when none.
int stop_signal();

// At a safe point: runs the stop action once per request. Returns when there is nothing
// to do, when the action runs already, or when the action returns.
void check_stop();
// True while the stop action runs: sleeps then hold their full time again, so that what
// the action sends keeps the transport's pacing.
bool stopping();

// A descriptor that becomes readable when a stop is requested, for waits that must wake
// early; -1 until handlers are installed.
int stop_wake_fd();

// Forgets a request (for tests).
void clear_stop_request();

}  // namespace tapline::system
