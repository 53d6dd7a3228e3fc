// One run of one script file.
#pragma once

namespace tapline {

// Creates and prepares the script state, registers the script library, runs the file in
// protected mode and closes the state. A file that does not load is reported in a message
// box; a run-time error ends the run silently. Returns when the run has ended.
void run_script(const char* path);

}  // namespace tapline
