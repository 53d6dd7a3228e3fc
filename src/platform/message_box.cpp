#include "platform/message_box.h"

#include <unistd.h>

#include <cstdio>

namespace tapline::platform {

void message_box(const char* caption, const char* text) {
  // Whatever the program wrote before belongs above the box.
  std::fflush(stdout);
  const bool interactive = isatty(STDIN_FILENO) == 1;
  std::fprintf(stderr, "%s\n%s\n[OK]%s", caption, text, interactive ? " " : "\n");
  std::fflush(stderr);
  if (!interactive) return;
  for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
  }
}

}  // namespace tapline::platform
