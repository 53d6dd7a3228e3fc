// One run of one script file.
#pragma once

struct lua_State;

namespace tapline {

// A new script state prepared as for a run: 2048 stack slots, the standard libraries,
// printf, author, the prelude and the script library, with the timers, event
// registrations and end request of earlier runs cleared. No call hook. nullptr when out
// of memory. The caller closes it with lua_close.
lua_State* create_script_state();

// Creates and prepares the script state, registers the script library, runs the file in
// protected mode and closes the state. A file that does not load is reported in a message
// box; a run-time error is written with its traceback to standard error and what the
// script left held is released. Returns when the run has ended.
void run_script(const char* path);

}  // namespace tapline
