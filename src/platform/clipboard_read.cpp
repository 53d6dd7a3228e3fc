#include "platform/clipboard_read.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "system/console.h"

namespace tapline::platform {
namespace {

constexpr size_t kDefaultTextCap = size_t{64} << 20;

}  // namespace

size_t clipboard_text_cap() {
  const char* text = std::getenv("TAPLINE_CLIPBOARD_MAX_BYTES");
  if (text == nullptr || *text == '\0') return kDefaultTextCap;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno != 0 || text[0] == '-') {
    system::console_diagnostic(
        "TAPLINE_CLIPBOARD_MAX_BYTES=%s is not a byte count; the limit stays %zu\n", text,
        kDefaultTextCap);
    return kDefaultTextCap;
  }
  return static_cast<size_t>(value);
}

ClipboardRead read_clipboard_text(int fd, std::string& out, system::Deadline deadline) {
  const size_t cap = clipboard_text_cap();
  char buffer[65536];
  for (;;) {
    pollfd answer{fd, POLLIN, 0};
    switch (system::wait_ready({&answer, 1}, deadline)) {
      case system::WaitEnd::ready:
        break;
      case system::WaitEnd::timed_out:
        return ClipboardRead::late;
      case system::WaitEnd::stopped:
        return ClipboardRead::stopped;
      case system::WaitEnd::failed:
        return ClipboardRead::failed;
    }
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) return ClipboardRead::failed;
    if (got == 0) return ClipboardRead::complete;
    if (static_cast<size_t>(got) > cap - out.size()) return ClipboardRead::too_long;
    out.append(buffer, static_cast<size_t>(got));
  }
}

void say_clipboard_read_end(ClipboardRead end, bool answered) {
  switch (end) {
    case ClipboardRead::complete:
    case ClipboardRead::stopped:
      return;
    case ClipboardRead::late:
      if (answered)
        system::console_diagnostic(
            "the clipboard's owner did not give its text within %lld ms; no clipboard text\n",
            static_cast<long long>(kClipboardReadTimeout.count()));
      else
        system::console_diagnostic("the clipboard's owner did not answer; no clipboard text\n");
      return;
    case ClipboardRead::too_long:
      system::console_diagnostic(
          "the clipboard's text is longer than %zu bytes (TAPLINE_CLIPBOARD_MAX_BYTES); no "
          "clipboard text\n",
          clipboard_text_cap());
      return;
    case ClipboardRead::failed:
      system::console_diagnostic("cannot read the clipboard's text; no clipboard text\n");
      return;
  }
}

}  // namespace tapline::platform
