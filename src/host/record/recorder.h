// tapline --record FILE.lua [--stop-key NAME]: records the keys, mouse buttons, wheel and
// pointer drags of this machine's desktop into a script that replays them through the
// device.
#pragma once

namespace tapline {

// What follows --record on the command line, as the usage shows it.
inline constexpr const char* kRecordArguments = "FILE.lua [--stop-key NAME]";

// Records until the stop key goes down or SIGINT/SIGTERM comes, then leaves a complete
// script at the file's path (written under a temporary name, renamed at the end), readable
// by its owner only. A path where a directory, FIFO, socket or device stands is refused
// before recording starts. Shows
// a live count of recorded events on standard output. Returns the exit status: 0 after
// the stop key, 128 + the signal after a signal, 2 for a wrong command line, 1 when
// nothing could be recorded. `arguments` are those after --record.
int run_recording(int count, char** arguments);

}  // namespace tapline
