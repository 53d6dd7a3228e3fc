// The console program's modes: an option as the first argument chooses one; any other
// first argument is the script to run.
#pragma once

#include <span>

namespace tapline {

struct ProgramMode {
  const char* option;     // the first argument that chooses the mode
  const char* arguments;  // what follows the option, as the usage shows it
  const char* summary;    // the usage's one line on what the mode does
  // Runs the mode on the arguments after the option; returns the exit status.
  int (*enter)(int count, char** arguments);
};

// Every mode an option chooses, in the order the usage lists them.
std::span<const ProgramMode> program_modes();

// The mode the command line's first argument chooses, also one the program starts itself in
// (not in the list above); nullptr when it runs a script.
// Options count only as the first argument: later ones are the run's own arguments.
const ProgramMode* chosen_mode(int argc, char** argv);

}  // namespace tapline
