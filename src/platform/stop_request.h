// Stopping a run on SIGINT or SIGTERM without sending anything from a signal handler.
// The handler only records the signal (and wakes a sleeping clock); the stop is acted on
// at the next safe point: a sleep of the system clock, the script's instruction-count
// hook, or a pass of the script's event loop.
#pragma once

namespace tapline::platform {

// What to do at a safe point once a stop was requested; receives the signal number. The
// console program lifts what the device holds and ends the process there.
using StopAction = void (*)(int signal);

// Installs handlers for SIGINT and SIGTERM that request a stop, and the action that
// check_stop runs on the calling thread (and no other). Without it, signals keep their
// default action.
void install_stop_handlers(StopAction action);

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

}  // namespace tapline::platform
