// The desktop's text clipboard.
#pragma once

#include <string>
#include <string_view>

namespace tapline::platform {

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Puts the text (locale's character set) on the clipboard, replacing what was there. It
  // stays available after the program has ended, until another program takes the
  // clipboard. False, said on standard error, when it cannot be done.
  virtual bool set_text(std::string_view text) = 0;
  // The clipboard's text in the locale's character set, cut at a zero byte. Empty when
  // the clipboard holds no text, or when its owner does not answer within about a second
  // (said on standard error).
  virtual std::string get_text() = 0;
};

// The current clipboard (the X11 CLIPBOARD selection by default). Tests substitute their own.
Clipboard& clipboard();
// Replaces the clipboard; nullptr restores the default.
void set_clipboard(Clipboard* replacement);

}  // namespace tapline::platform
