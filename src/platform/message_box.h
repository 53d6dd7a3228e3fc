// Modal message boxes as a console prompt: Linux consoles have no dialog of their own.
#pragma once

namespace tapline::platform {

// Shows `caption`, `text` and an "[OK]" prompt on standard error. When standard input is
// a terminal the call waits until Enter is pressed, as a modal box waits for its button;
// otherwise it returns at once. Both texts are in the locale's character set.
void message_box(const char* caption, const char* text);

}  // namespace tapline::platform
