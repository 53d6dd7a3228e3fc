// The console writer: every console message of the system goes through here so that its
// own text (written in UTF-8 in the sources) reaches standard output in the locale's
// character set. Only the format's literal text is converted: values substituted into it
// (script text, paths from the command line) are already in the locale's character set.
#pragma once

#include <cstdarg>

namespace tapline::system {

// A format string's literal text in the locale's character set (the same pointer when
// nothing needs converting). Formats must be string literals: the result is kept per
// address for the life of the process.
const char* locale_format(const char* format);

// printf-style to standard output.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void console_vprintf(const char* format, va_list args);
// The same to standard error, as it stands: for texts that are no notice of ours (the
// console message box).
void console_eprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A notice or error of our own on standard error, written in one piece after the prefix
// that says who speaks: "tapline: " from the host, the commands, the transports and the
// platform layer.
void console_diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same from a script function, after its name: "Curl: ...".
void console_diagnostic_from(const char* function, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace tapline::system
