// The GNOME desktop, driven through a session of mutter's remote desktop service: keys by
// evdev keycode (mutter applies the person's layout), buttons, wheel, relative and
// absolute motion (over a screen cast of the whole layout, so positions are desktop
// positions) and touch. Characters the layout lacks go through our Shell extension's text
// commit where it is enabled.
#pragma once

#include <memory>
#include <string>

#include "inject/input_target.h"
#include "platform/gnome/remote_desktop.h"

namespace tapline::device {

class GnomeTarget final : public InputTarget {
 public:
  // Opens the session and warms up its virtual devices; nullptr with the reason in
  // `error` when it cannot. `log` gets the notices (it may be nullptr).
  static std::unique_ptr<GnomeTarget> open(std::FILE* log, std::string& error);
  // Lets the last events arrive, then stops the session.
  ~GnomeTarget() override;
  GnomeTarget(const GnomeTarget&) = delete;
  GnomeTarget& operator=(const GnomeTarget&) = delete;

  void key(Keysym keysym, bool down) override;
  void type_character(char32_t character) override;
  void button(unsigned number, bool down) override;
  void move_by(int dx, int dy) override;
  void move_to(int x, int y) override;
  ScreenExtent screen() const override;
  bool takes_touch() const override { return true; }
  void touch(TouchPhase phase, int x, int y) override;
  void flush() override;
  void settle() override {}
  bool borrowing() const override { return false; }

 private:
  GnomeTarget(std::unique_ptr<platform::gnome::RemoteDesktop> session, std::FILE* log);
  // Keeps the result of a notification; a lost session is said once.
  void sent(bool ok);

  std::unique_ptr<platform::gnome::RemoteDesktop> session_;
  std::FILE* log_;
  bool extension_ = false;  // our Shell extension answers: text commits work
  bool told_lost_ = false;
  std::u32string told_;  // characters said to have gone as keysyms the layout may lack
};

}  // namespace tapline::device
