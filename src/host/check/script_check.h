// tapline --check FILE.lua...: finds what would go wrong in scripts without running them.
#pragma once

namespace tapline {

// What follows --check on the command line, as the usage shows it.
inline constexpr const char* kCheckArguments = "FILE.lua...";

// Compiles each file without running it and reports, on standard error, syntax errors as
// "FILE:LINE: message" and warnings for calls of globals that nothing defines and for
// calls of script functions with a number of arguments none of their forms takes; each
// such kind of call once, at its first line, with how often it occurs. A precompiled
// chunk is read without the engine's loader and checked for its calls only. Files that
// are not regular files, or larger than 64 MiB, are refused and the others still checked.
// Returns 0 when every file is clean, 1 otherwise.
int check_scripts(int count, char** paths);

}  // namespace tapline
