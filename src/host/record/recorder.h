// tapline --record FILE.lua [--stop-key NAME]: records the keys, mouse buttons, wheel and
// pointer drags of this machine's desktop into a script that replays them through the
// device.
#pragma once

namespace tapline {

// True when the command line asks for a recording: `--record` as the first argument.
bool asks_for_recording(int argc, char** argv);

// Records until the stop key goes down or SIGINT/SIGTERM comes, then leaves a complete
// script at the file's path (written under a temporary name, renamed at the end). Shows
// a live count of recorded events on standard output. Returns the exit status: 0 after
// the stop key, 128 + the signal after a signal, 2 for a wrong command line, 1 when
// nothing could be recorded.
int run_recording(int argc, char** argv);

}  // namespace tapline
