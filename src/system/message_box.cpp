#include "system/message_box.h"

#include <unistd.h>

#include <cstdio>

#include "system/console.h"

namespace tapline::system {

void message_box(const char* caption, const char* text) {
  // What the script printed before the box belongs before it on the screen.
  std::fflush(stdout);
  if (caption != nullptr && *caption != '\0') console_eprintf("[ %s ]\n", caption);
  console_eprintf("%s\n", text != nullptr ? text : "");
  const bool interactive = isatty(STDIN_FILENO) == 1;
  console_eprintf(interactive ? "[OK] press Enter " : "[OK]\n");
  std::fflush(stderr);
  if (!interactive) return;
  int c;
  do {
    c = std::getc(stdin);
  } while (c != EOF && c != '\n');
  if (c == EOF) std::clearerr(stdin);
}

}  // namespace tapline::system
