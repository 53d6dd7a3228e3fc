#include "host/modes.h"

#include <cstdio>
#include <cstring>

#include "host/check/script_check.h"
#include "host/record/recorder.h"
#include "platform/clipboard.h"
#include "platform/clipboard_server.h"

namespace tapline {
namespace {

constexpr const char* kRunArguments = "SCRIPT [SELECTOR [ADDRESS PORT]]";
constexpr const char* kRunSummary =
    "run the Lua script; over UDP when SELECTOR contains \"net\", over USB otherwise";

int print_usage(int, char**);

int print_version(int, char**) {
  std::printf("tapline %s\n", TAPLINE_VERSION);
  return 0;
}

constexpr ProgramMode kModes[] = {
    {"--check", kCheckArguments,
     "report syntax errors and doubtful calls in scripts without running them", check_scripts},
    {"--record", kRecordArguments,
     "record this desktop's keys and mouse into a script that replays them", run_recording},
    {"--help", "", "show this text", print_usage},
    {"--version", "", "show the program's version", print_version},
};

// The modes the program starts itself in: no user chooses them, and the usage leaves them
// out.
constexpr ProgramMode kInternalModes[] = {
    {platform::kServeClipboardOption, "x11|wayland", "serve a clipboard text",
     platform::serve_clipboard},
};

void print_synopsis(const char* option, const char* arguments, const char* summary) {
  std::printf("  tapline%s%s%s%s\n      %s\n", *option != '\0' ? " " : "", option,
              *arguments != '\0' ? " " : "", arguments, summary);
}

int print_usage(int, char**) {
  std::printf("usage:\n");
  print_synopsis("", kRunArguments, kRunSummary);
  for (const ProgramMode& mode : kModes) print_synopsis(mode.option, mode.arguments, mode.summary);
  std::printf("An option is recognised only as the first argument.\n");
  return 0;
}

}  // namespace

std::span<const ProgramMode> program_modes() { return kModes; }

const ProgramMode* chosen_mode(int argc, char** argv) {
  if (argc < 2) return nullptr;
  for (const ProgramMode& mode : kModes)
    if (std::strcmp(argv[1], mode.option) == 0) return &mode;
  for (const ProgramMode& mode : kInternalModes)
    if (std::strcmp(argv[1], mode.option) == 0) return &mode;
  return nullptr;
}

}  // namespace tapline
