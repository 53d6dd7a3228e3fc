// Script control shared between the control functions and the script's Loop.
#pragma once

#include <cstdint>

namespace tapline::script {

// Set to 1 by EndScript; Loop tests and clears it at the end of each pass. Used on the
// main thread only, like the script state.
extern int32_t end_request;

}  // namespace tapline::script
