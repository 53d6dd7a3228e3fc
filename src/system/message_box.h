// A modal message box, as a console dialog on standard error.
#pragma once

namespace tapline::system {

// Shows the caption (when not empty) and the text with an OK prompt, then waits for
// Enter when standard input is a terminal; otherwise it goes on at once.
void message_box(const char* caption, const char* text);

}  // namespace tapline::system
