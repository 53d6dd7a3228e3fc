#include "inject/x11_target.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tapline::device {
namespace {

// The root window property that records the keycodes lent out: pairs of keycode and the
// keysym lent to it (32-bit integers). A keycode is only ever lent while it has no
// keysym at all, so giving it back means emptying it again.
constexpr const char* kLoansRecord = "_TAPLINE_BORROWED_KEYCODES";
// Far more than the 256 keycodes a display can have, as pairs.
constexpr long kLoansRecordLongest = 2 * 256;

// Xlib's default error handler ends the process; a request the server refuses (a button
// the XTest pointer lacks, say) is worth a line, not the device.
int report_x_error(Display* display, XErrorEvent* event) {
  char text[160] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  std::fprintf(stderr, "tapline-device: X error: %s (request %u.%u)\n", text, event->request_code,
               event->minor_code);
  return 0;
}

// The connection is gone for good (the server ended): nothing can be released any more.
int report_lost_display(Display* display) {
  std::fprintf(stderr, "tapline-device: lost the X display %s\n", DisplayString(display));
  std::exit(1);
}

}  // namespace

std::unique_ptr<X11Target> X11Target::open(const char* display_name, std::string& error) {
  Display* display = XOpenDisplay(display_name);
  if (display == nullptr) {
    const char* name = display_name != nullptr ? display_name : std::getenv("DISPLAY");
    error = name != nullptr && *name != '\0'
                ? std::string("cannot open the X display ") + name
                : std::string("cannot open an X display: DISPLAY is not set");
    return nullptr;
  }
  int event_base = 0;
  int error_base = 0;
  int major = 0;
  int minor = 0;
  if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
    error = std::string("the X display ") + DisplayString(display) +
            " has no XTest extension, so input cannot be injected";
    XCloseDisplay(display);
    return nullptr;
  }
  XSetErrorHandler(report_x_error);
  XSetIOErrorHandler(report_lost_display);
  // The injected events must reach the desktop even while another client grabs the server.
  XTestGrabControl(display, True);
  return std::unique_ptr<X11Target>(new X11Target(display));
}

X11Target::X11Target(Display* display)
    : display_(display),
      screen_number_(DefaultScreen(display)),
      loans_record_(XInternAtom(display, kLoansRecord, False)) {
  XDisplayKeycodes(display_, &min_keycode_, &max_keycode_);
  give_back_recorded_loans();
  // A client that has not taken up XKB hears of no keyboard map change at all.
  int opcode = 0;
  int error_base = 0;
  int major = XkbMajorVersion;
  int minor = XkbMinorVersion;
  if (XkbQueryExtension(display_, &opcode, &xkb_event_base_, &error_base, &major, &minor))
    XkbSelectEventDetails(display_, XkbUseCoreKbd, XkbMapNotify, XkbKeySymsMask, XkbKeySymsMask);
  else
    xkb_event_base_ = -1;
  // Changes made after the map is read are heard of.
  XSync(display_, False);
  read_keyboard_map(false);
}

X11Target::~X11Target() {
  for (const HeldKey& key : held_) XTestFakeKeyEvent(display_, key.code, False, CurrentTime);
  held_.clear();
  settle();
  XSync(display_, False);
  XCloseDisplay(display_);
}

void X11Target::read_keyboard_map(bool keep_loans) {
  const int count = max_keycode_ - min_keycode_ + 1;
  int per_keycode = 0;
  KeySym* keysyms =
      XGetKeyboardMapping(display_, static_cast<KeyCode>(min_keycode_), count, &per_keycode);
  keysyms_per_keycode_ = keysyms != nullptr ? per_keycode : 0;
  map_.assign(keysyms, keysyms + (keysyms != nullptr ? count * per_keycode : 0));
  if (keysyms != nullptr) XFree(keysyms);

  std::vector<Spare> spares;
  // Without a map no keycode is known to be unused.
  for (int code = min_keycode_; keysyms_per_keycode_ > 0 && code <= max_keycode_; ++code) {
    const auto row = map_.begin() + (code - min_keycode_) * keysyms_per_keycode_;
    const auto row_end = row + keysyms_per_keycode_;
    Spare spare;
    spare.code = static_cast<KeyCode>(code);
    if (std::all_of(row, row_end, [](KeySym sym) { return sym == NoSymbol; })) {
      spares.push_back(spare);
      continue;
    }
    // A keycode still lent out, as this target set it: the keysym on the first level and
    // nothing else but copies of it (the server repeats it for the second group).
    if (!keep_loans) continue;
    const auto lent = std::find_if(spares_.begin(), spares_.end(), [&](const Spare& old) {
      return old.code == code && old.lent_to != 0;
    });
    if (lent != spares_.end() && row[0] == lent->lent_to &&
        std::all_of(row, row_end,
                    [&](KeySym sym) { return sym == NoSymbol || sym == lent->lent_to; }))
      spares.push_back(*lent);
  }
  spares_ = std::move(spares);
}

KeyCode X11Target::keycode_at_level(Keysym keysym, int level) const {
  if (level >= keysyms_per_keycode_) return 0;
  for (int code = min_keycode_; code <= max_keycode_; ++code) {
    const size_t row = static_cast<size_t>(code - min_keycode_) * keysyms_per_keycode_;
    if (map_[row + level] != keysym) continue;
    const bool spare =
        std::any_of(spares_.begin(), spares_.end(), [&](const Spare& s) { return s.code == code; });
    if (!spare) return static_cast<KeyCode>(code);
  }
  return 0;
}

KeyCode X11Target::lend(Keysym keysym) {
  Spare* chosen = nullptr;
  for (Spare& spare : spares_) {
    if (held(spare.code)) continue;
    // Free ones first, then the one lent longest ago.
    if (chosen == nullptr || (spare.lent_to == 0 && chosen->lent_to != 0) ||
        ((spare.lent_to == 0) == (chosen->lent_to == 0) && spare.last_use < chosen->last_use))
      chosen = &spare;
  }
  if (chosen == nullptr) return 0;
  chosen->lent_to = keysym;
  chosen->last_use = ++uses_;
  // Recorded first: a device killed right after the change still leaves word of it.
  record_loans();
  KeySym keysyms[2] = {keysym, keysym};  // the same on both levels: Shift cannot change it
  XChangeKeyboardMapping(display_, chosen->code, 2, keysyms, 1);
  const size_t row = static_cast<size_t>(chosen->code - min_keycode_) * keysyms_per_keycode_;
  std::fill_n(map_.begin() + row, keysyms_per_keycode_, NoSymbol);
  for (int level = 0; level < std::min(2, keysyms_per_keycode_); ++level)
    map_[row + level] = keysym;
  return chosen->code;
}

void X11Target::give_back(Spare& spare) {
  if (spare.lent_to == 0 || keysyms_per_keycode_ == 0) return;
  const size_t row = static_cast<size_t>(spare.code - min_keycode_) * keysyms_per_keycode_;
  std::fill_n(map_.begin() + row, keysyms_per_keycode_, NoSymbol);
  XChangeKeyboardMapping(display_, spare.code, keysyms_per_keycode_, &map_[row], 1);
  spare.lent_to = 0;
}

KeyCode X11Target::keycode_for(Keysym keysym, bool& shifted, bool as_character) {
  shifted = false;
  for (Spare& spare : spares_)
    if (spare.lent_to == keysym) {
      spare.last_use = ++uses_;
      return spare.code;
    }
  if (const KeyCode code = keycode_at_level(keysym, 0)) return code;
  if (const KeyCode code = keycode_at_level(keysym, 1)) {
    shifted = as_character;
    return code;
  }
  return lend(keysym);
}

bool X11Target::held(KeyCode code) const {
  return std::any_of(held_.begin(), held_.end(),
                     [&](const HeldKey& key) { return key.code == code; });
}

void X11Target::key(Keysym keysym, bool down) {
  const auto found = std::find_if(held_.begin(), held_.end(),
                                  [&](const HeldKey& key) { return key.keysym == keysym; });
  if (!down) {
    // Released on the keycode it was pressed on, even if the map has changed since.
    if (found == held_.end()) return;
    XTestFakeKeyEvent(display_, found->code, False, CurrentTime);
    held_.erase(found);
    return;
  }
  if (found != held_.end()) return;
  bool shifted = false;
  const KeyCode code = keycode_for(keysym, shifted, false);
  if (code == 0) {
    const char* name = XKeysymToString(keysym);
    std::fprintf(stderr, "tapline-device: no keycode is free for %s\n", name ? name : "a key");
    return;
  }
  XTestFakeKeyEvent(display_, code, True, CurrentTime);
  held_.push_back({keysym, code});
}

void X11Target::tap(KeyCode code) {
  XTestFakeKeyEvent(display_, code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, False, CurrentTime);
}

void X11Target::type_character(char32_t character) {
  const Keysym keysym = character_keysym(character);
  if (keysym == 0) return;
  bool shifted = false;
  const KeyCode code = keycode_for(keysym, shifted, true);
  if (code == 0) {
    std::fprintf(stderr, "tapline-device: no keycode is free to type U+%04X\n",
                 static_cast<unsigned>(character));
    return;
  }
  const KeyCode shift = shifted ? keycode_at_level(XK_Shift_L, 0) : 0;
  const bool add_shift = shift != 0 && !held(shift);
  if (add_shift) XTestFakeKeyEvent(display_, shift, True, CurrentTime);
  tap(code);
  if (add_shift) XTestFakeKeyEvent(display_, shift, False, CurrentTime);
}

void X11Target::button(unsigned number, bool down) {
  XTestFakeButtonEvent(display_, number, down ? True : False, CurrentTime);
}

void X11Target::move_by(int dx, int dy) {
  XTestFakeRelativeMotionEvent(display_, dx, dy, CurrentTime);
}

void X11Target::move_to(int x, int y) {
  XTestFakeMotionEvent(display_, screen_number_, x, y, CurrentTime);
}

ScreenExtent X11Target::screen() const {
  return {DisplayWidth(display_, screen_number_), DisplayHeight(display_, screen_number_)};
}

// Reads what the server sent: map changes made by other clients are taken in, so keys
// keep going to the keycodes that carry them.
void X11Target::drain_events() {
  bool map_changed = false;
  std::vector<KeyCode> to_check;
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    int first = 0;
    int count = 0;
    if (event.type == MappingNotify && event.xmapping.request == MappingKeyboard) {
      first = event.xmapping.first_keycode;
      count = event.xmapping.count;
    } else if (xkb_event_base_ >= 0 && event.type == xkb_event_base_) {
      const XkbEvent& xkb = reinterpret_cast<const XkbEvent&>(event);
      if (xkb.any.xkb_type != XkbMapNotify || (xkb.map.changed & XkbKeySymsMask) == 0) continue;
      first = xkb.map.first_key_sym;
      count = xkb.map.num_key_syms;
    } else {
      continue;
    }
    // A change of one spare keycode is most likely this target lending or giving one
    // back; its row tells.
    const auto spare = std::find_if(spares_.begin(), spares_.end(),
                                    [&](const Spare& s) { return s.code == first; });
    if (count == 1 && spare != spares_.end()) {
      if (std::find(to_check.begin(), to_check.end(), spare->code) == to_check.end())
        to_check.push_back(spare->code);
    } else {
      map_changed = true;
    }
  }
  for (const KeyCode code : to_check) {
    if (map_changed) break;
    const auto spare = std::find_if(spares_.begin(), spares_.end(),
                                    [&](const Spare& s) { return s.code == code; });
    int per_keycode = 0;
    KeySym* row = XGetKeyboardMapping(display_, code, 1, &per_keycode);
    if (row == nullptr) continue;
    const Keysym expected = spare->lent_to;
    map_changed = (expected != 0 && row[0] != expected) ||
                  !std::all_of(row, row + per_keycode,
                               [&](KeySym sym) { return sym == NoSymbol || sym == expected; });
    XFree(row);
  }
  if (map_changed) {
    read_keyboard_map(true);
    record_loans();
  }
}

void X11Target::flush() {
  drain_events();
  XFlush(display_);
}

void X11Target::settle() {
  for (Spare& spare : spares_)
    if (!held(spare.code)) give_back(spare);
  record_loans();
  XFlush(display_);
}

void X11Target::record_loans() {
  std::vector<long> pairs;
  for (const Spare& spare : spares_)
    if (spare.lent_to != 0) {
      pairs.push_back(spare.code);
      pairs.push_back(static_cast<long>(spare.lent_to));
    }
  const Window root = RootWindow(display_, screen_number_);
  if (pairs.empty())
    XDeleteProperty(display_, root, loans_record_);
  else
    XChangeProperty(display_, root, loans_record_, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(pairs.data()),
                    static_cast<int>(pairs.size()));
}

void X11Target::give_back_recorded_loans() {
  const Window root = RootWindow(display_, screen_number_);
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long left = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display_, root, loans_record_, 0, kLoansRecordLongest, True, XA_INTEGER,
                         &type, &format, &count, &left, &data) != Success)
    return;
  const long* pairs = reinterpret_cast<const long*>(data);
  for (unsigned long i = 0; type == XA_INTEGER && format == 32 && i + 1 < count; i += 2) {
    const long code = pairs[i];
    const auto keysym = static_cast<KeySym>(pairs[i + 1]);
    if (code < min_keycode_ || code > max_keycode_ || keysym == NoSymbol) continue;
    // Only as that device left it: a keycode changed since belongs to whoever changed it.
    int per_keycode = 0;
    KeySym* row = XGetKeyboardMapping(display_, static_cast<KeyCode>(code), 1, &per_keycode);
    if (row == nullptr) continue;
    const bool as_lent = row[0] == keysym && std::all_of(row, row + per_keycode, [&](KeySym sym) {
                           return sym == NoSymbol || sym == keysym;
                         });
    if (as_lent) {
      std::fill_n(row, per_keycode, NoSymbol);
      XChangeKeyboardMapping(display_, static_cast<int>(code), per_keycode, row, 1);
    }
    XFree(row);
  }
  if (data != nullptr) XFree(data);
}

bool X11Target::borrowing() const {
  return std::any_of(spares_.begin(), spares_.end(),
                     [&](const Spare& spare) { return spare.lent_to != 0 && !held(spare.code); });
}

}  // namespace tapline::device
