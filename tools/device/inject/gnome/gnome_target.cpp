#include "inject/gnome/gnome_target.h"

#include <X11/keysym.h>
#include <linux/input-event-codes.h>
#include <time.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdarg>

#include "inject/evdev_buttons.h"
#include "inject/us_keyboard.h"
#include "platform/gnome/shell_extension.h"

namespace tapline::device {
namespace {

using platform::gnome::RemoteDesktop;

constexpr uint32_t kVertical = 0;
constexpr uint32_t kHorizontal = 1;
// A new virtual device is made by its first event, which is lost on a desktop without
// input devices of its own: clients see the device only afterwards. 20 ms sufficed here.
constexpr long kWarmUpNs = 100'000'000;
// Events still on their way when the session stops are lost with its devices.
constexpr long kDrainNs = 50'000'000;
constexpr size_t kUntypedShown = 32;  // characters said at most

void pause_ns(long nanoseconds) {
  timespec wait{0, nanoseconds};
  while (nanosleep(&wait, &wait) != 0) {
  }
}

std::string utf8_of(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace

std::unique_ptr<GnomeTarget> GnomeTarget::open(std::FILE* log, std::string& error) {
  auto session = RemoteDesktop::open(true, false, error);
  if (!session) return nullptr;
  std::unique_ptr<GnomeTarget> target(new GnomeTarget(std::move(session), log));
  RemoteDesktop& s = *target->session_;
  s.notify("NotifyPointerMotionRelative", "dd", 0.0, 0.0);
  s.notify("NotifyKeyboardKeycode", "ub", uint32_t{KEY_LEFTSHIFT}, 1);
  s.notify("NotifyKeyboardKeycode", "ub", uint32_t{KEY_LEFTSHIFT}, 0);
  sd_bus_flush(s.bus());
  pause_ns(kWarmUpNs);
  target->extension_ = platform::gnome::extension_missing(s.bus()).empty();
  return target;
}

GnomeTarget::GnomeTarget(std::unique_ptr<RemoteDesktop> session, std::FILE* log)
    : session_(std::move(session)), log_(log) {}

GnomeTarget::~GnomeTarget() {
  sd_bus_flush(session_->bus());
  pause_ns(kDrainNs);
}

void GnomeTarget::sent(bool ok) {
  if (ok || told_lost_) return;
  told_lost_ = true;
  if (log_ != nullptr)
    std::fprintf(log_,
                 "tapline-device: GNOME input stopped (%s): nothing more reaches the "
                 "desktop\n",
                 session_->error().c_str());
}

void GnomeTarget::key(Keysym keysym, bool down) {
  // The key of the keysym on a US keyboard, so that the person's layout applies as it
  // would to the hardware's key; keysyms no such key has, by keysym.
  if (const UsKey* us = us_key_of(keysym))
    sent(session_->notify("NotifyKeyboardKeycode", "ub", us->keycode, down));
  else
    sent(session_->notify("NotifyKeyboardKeysym", "ub", keysym, down));
}

void GnomeTarget::type_character(char32_t character) {
  const Keysym keysym = character < 0x80 ? character_keysym(character)
                                         : xkb_utf32_to_keysym(static_cast<uint32_t>(character));
  if (character >= 0x80) {
    // mutter types a keysym only where the layout has it and drops the rest unseen.
    if (extension_ && platform::gnome::commit_text(session_->bus(), utf8_of(character))) return;
    if (told_.size() < kUntypedShown && told_.find(character) == std::u32string::npos) {
      told_ += character;
      if (log_ != nullptr)
        std::fprintf(log_,
                     "tapline-device: %s sent as a keysym, which GNOME drops where the "
                     "keyboard layout lacks it (%s)\n",
                     utf8_of(character).c_str(),
                     extension_ ? "no text field had the focus for our Shell extension"
                                : "our Shell extension types it: gnome-extensions enable "
                                  "tapline-windows@tapline.invalid, then log out and in");
    }
  }
  if (keysym == 0) return;
  sent(session_->notify("NotifyKeyboardKeysym", "ub", keysym, 1) &&
       session_->notify("NotifyKeyboardKeysym", "ub", keysym, 0));
}

void GnomeTarget::button(unsigned number, bool down) {
  if (number >= 4 && number <= 7) {
    // The wheel: one step per press; positive steps are down and right.
    if (down)
      sent(session_->notify("NotifyPointerAxisDiscrete", "ui",
                            number <= 5 ? kVertical : kHorizontal, number % 2 == 0 ? -1 : 1));
    return;
  }
  if (const uint32_t code = evdev_button(number))
    sent(session_->notify("NotifyPointerButton", "ib", static_cast<int>(code), down));
}

void GnomeTarget::move_by(int dx, int dy) {
  sent(session_->notify("NotifyPointerMotionRelative", "dd", double(dx), double(dy)));
}

void GnomeTarget::move_to(int x, int y) {
  sent(session_->notify("NotifyPointerMotionAbsolute", "sdd", session_->stream().c_str(), double(x),
                        double(y)));
}

ScreenExtent GnomeTarget::screen() const {
  return {session_->area().width, session_->area().height};
}

void GnomeTarget::touch(TouchPhase phase, int x, int y) {
  const char* stream = session_->stream().c_str();
  switch (phase) {
    case TouchPhase::down:
      sent(session_->notify("NotifyTouchDown", "sudd", stream, 0u, double(x), double(y)));
      break;
    case TouchPhase::move:
      sent(session_->notify("NotifyTouchMotion", "sudd", stream, 0u, double(x), double(y)));
      break;
    case TouchPhase::up:
      sent(session_->notify("NotifyTouchUp", "u", 0u));
      break;
  }
}

void GnomeTarget::flush() {
  sd_bus_flush(session_->bus());
  sent(!session_->closed());
}

}  // namespace tapline::device
