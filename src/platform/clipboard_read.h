// What every clipboard backend's read of the text shares: one deadline for the whole read
// however the owner sends it, a size cap, and the lines that say why a read gave nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "system/bounded_wait.h"

namespace tapline::platform {

// The whole read of the clipboard's text: an owner that trickles its text is not waited
// for without end.
inline constexpr std::chrono::milliseconds kClipboardReadTimeout{5000};

// The most bytes a read keeps: TAPLINE_CLIPBOARD_MAX_BYTES, 64 MiB by default. An owner
// that sends without end cannot take all memory.
size_t clipboard_text_cap();

enum class ClipboardRead { complete, late, too_long, stopped, failed };

// Reads what the owner writes into `fd` until its end, the deadline, a stop request, or
// more than clipboard_text_cap() bytes.
ClipboardRead read_clipboard_text(int fd, std::string& out, system::Deadline deadline);

// Says in one line on standard error why a read gave no text: nothing for a complete or
// stopped read. `answered`: some of the text had come.
void say_clipboard_read_end(ClipboardRead end, bool answered);

}  // namespace tapline::platform
