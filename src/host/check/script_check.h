// tapline --check FILE.lua...: finds what would go wrong in scripts without running them.
#pragma once

namespace tapline {

// What follows --check on the command line, as the usage shows it.
inline constexpr const char* kCheckArguments = "FILE.lua...";

// Compiles each file without running it and reports, on standard error, syntax errors as
// "FILE:LINE: message" and warnings for calls of globals that nothing defines and for
// calls of script functions with a number of arguments none of their forms takes.
// Returns 0 when every file is clean, 1 otherwise.
int check_scripts(int count, char** paths);

}  // namespace tapline
