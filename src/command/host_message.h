// Texts for the host program's window. Linux has no window messages: the "window" is a
// host callback, called with (1124, 0, text) on one delivery thread in posting order, so
// posting never waits for the host. The receiver owns each text and frees it.
#pragma once

#include <chrono>
#include <cstdarg>

namespace tapline {

// Posts a heap copy of `text` to the host window; drops it when none is set.
void post_to_host(const char* text);
// Formats with the host formatter's conventions (integer, character and string
// conversions only; at most 1023 characters) and posts the result.
void host_printf(const char* format, ...);

// Waits until every text posted so far has been handed to the host, or until `timeout`
// has passed. True when everything was delivered.
bool flush_host_messages(std::chrono::milliseconds timeout);

// The formatter on its own, for tests: writes at most `size` bytes including the
// terminating zero into `out` and returns the length written.
int host_vformat(char* out, int size, const char* format, va_list args);

}  // namespace tapline
