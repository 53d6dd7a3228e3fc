// A small X client for the desktop tests and demo: one window over the whole screen that
// takes the keyboard focus and reports, one line each on standard output, the key and
// pointer events it receives. A press of button 1 fills the window with the next colour
// of a fixed list, so that screen reads can see the click. For a screenshot it also
// shows what happened: the ASCII text typed (other characters as '?') from row 40 down,
// a small square around each click (its centre pixel untouched) and the path of each
// drag with button 1. With --managed the window manager places the window (on a tiling
// one, the only window of a workspace fills it) and gives it the focus; otherwise it
// places itself over everything.
//
//   ready <width> <height>            the window is mapped and has the focus
//   key-down <keysym> <state>         keysym name, modifier state in hexadecimal
//   key-up <keysym> <state>
//   text <utf-8>                      the printable text a key press typed
//   button-down <button> <x> <y>
//   button-up <button> <x> <y>
//   motion <x> <y> <state>
//   fill <RRGGBB>                     the window now shows this colour
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::array<unsigned long, 4> kFillColours{0xE02020, 0x20A040, 0x2040E0, 0xF0C000};

// Text without control characters, so that each event stays on one line.
bool printable(const char* text, int length) {
  if (length <= 0) return false;
  for (int i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// What the window shows besides its fill colour.
struct Picture {
  std::string typed;              // ASCII as typed, '?' for other characters
  std::vector<XPoint> clicks;     // button 1 presses
  std::vector<XSegment> strokes;  // pointer moves with button 1 held
};

void draw_marks(Display* display, Window window, GC gc, const Picture& picture) {
  XSetForeground(display, gc, 0x000000);
  constexpr int kLineHeight = 16;
  constexpr int kLineLength = 96;
  for (size_t start = 0; start < picture.typed.size(); start += kLineLength) {
    const std::string line = picture.typed.substr(start, kLineLength);
    XDrawString(display, window, gc, 10, 40 + static_cast<int>(start / kLineLength) * kLineHeight,
                line.data(), static_cast<int>(line.size()));
  }
  for (const XPoint& click : picture.clicks)
    XDrawRectangle(display, window, gc, click.x - 5, click.y - 5, 10, 10);
  if (!picture.strokes.empty())
    XDrawSegments(display, window, gc, const_cast<XSegment*>(picture.strokes.data()),
                  static_cast<int>(picture.strokes.size()));
}

void add_text(Picture& picture, const char* text, int length) {
  for (int i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
      picture.typed += static_cast<char>(c);
    else if ((c & 0xC0) != 0x80)  // one '?' per UTF-8 character
      picture.typed += '?';
  }
}

const char* keysym_name(KeySym keysym) {
  const char* name = keysym != NoSymbol ? XKeysymToString(keysym) : nullptr;
  return name != nullptr ? name : "NoSymbol";
}

}  // namespace

int main(int argc, char** argv) {
  const bool managed = argc > 1 && std::strcmp(argv[1], "--managed") == 0;
  std::setlocale(LC_ALL, "");
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "desktop_client: cannot open the X display\n");
    return 1;
  }
  XSetLocaleModifiers("@im=none");
  const int screen = DefaultScreen(display);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  const Window window =
      XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, width, height, 0,
                          BlackPixel(display, screen), WhitePixel(display, screen));
  if (!managed) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager decides where it goes
    XChangeWindowAttributes(display, window, CWOverrideRedirect, &attributes);
  }
  XSelectInput(display, window,
               KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                   PointerMotionMask | ExposureMask | StructureNotifyMask | FocusChangeMask);
  XStoreName(display, window, "Tapline desktop client");
  // Text through the locale's input method where there is one (UTF-8 for any keysym);
  // without one, XLookupString still gives Latin-1 text.
  XIM input_method = XOpenIM(display, nullptr, nullptr, nullptr);
  XIC input_context = nullptr;
  if (input_method != nullptr)
    input_context = XCreateIC(input_method, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                              XNClientWindow, window, XNFocusWindow, window, nullptr);
  const GC gc = XCreateGC(display, window, 0, nullptr);
  unsigned long colour = WhitePixel(display, screen);
  size_t next_colour = 0;
  Picture picture;
  const auto redraw = [&] {
    XSetForeground(display, gc, colour);
    XFillRectangle(display, window, gc, 0, 0, width, height);
    draw_marks(display, window, gc, picture);
    XSync(display, False);
  };
  XMapRaised(display, window);

  bool ready = false;
  short last_x = 0;  // where the pointer was last seen, for drag strokes
  short last_y = 0;
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (XFilterEvent(&event, None)) continue;
    switch (event.type) {
      case MapNotify:
        if (!ready) {
          XSetInputFocus(display, window, RevertToParent, CurrentTime);
          XSync(display, False);
          std::printf("ready %d %d\n", width, height);
          ready = true;
        }
        break;
      case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        break;
      case KeyPress: {
        char text[64] = {};
        KeySym keysym = NoSymbol;
        int length = 0;
        if (input_context != nullptr) {
          Status status = 0;
          length = Xutf8LookupString(input_context, &event.xkey, text, sizeof text - 1, &keysym,
                                     &status);
          if (status != XLookupChars && status != XLookupBoth) length = 0;
        } else {
          length = XLookupString(&event.xkey, text, sizeof text - 1, &keysym, nullptr);
        }
        std::printf("key-down %s %x\n", keysym_name(keysym), event.xkey.state);
        if (printable(text, length)) {
          std::printf("text %.*s\n", length, text);
          add_text(picture, text, length);
          draw_marks(display, window, gc, picture);
          XFlush(display);
        }
        break;
      }
      case KeyRelease:
        std::printf("key-up %s %x\n", keysym_name(XLookupKeysym(&event.xkey, 0)), event.xkey.state);
        break;
      case ButtonPress:
        last_x = static_cast<short>(event.xbutton.x);
        last_y = static_cast<short>(event.xbutton.y);
        std::printf("button-down %u %d %d\n", event.xbutton.button, event.xbutton.x,
                    event.xbutton.y);
        if (event.xbutton.button == Button1) {
          colour = kFillColours[next_colour++ % kFillColours.size()];
          picture.clicks.push_back(
              {static_cast<short>(event.xbutton.x), static_cast<short>(event.xbutton.y)});
          redraw();
          std::printf("fill %06lX\n", colour);
        }
        break;
      case ButtonRelease:
        std::printf("button-up %u %d %d\n", event.xbutton.button, event.xbutton.x, event.xbutton.y);
        break;
      case MotionNotify:
        std::printf("motion %d %d %x\n", event.xmotion.x, event.xmotion.y, event.xmotion.state);
        if ((event.xmotion.state & Button1Mask) != 0) {
          picture.strokes.push_back({last_x, last_y, static_cast<short>(event.xmotion.x),
                                     static_cast<short>(event.xmotion.y)});
          draw_marks(display, window, gc, picture);
          XFlush(display);
        }
        last_x = static_cast<short>(event.xmotion.x);
        last_y = static_cast<short>(event.xmotion.y);
        break;
      case Expose:
        if (event.xexpose.count == 0) redraw();
        break;
      default:
        break;
    }
  }
}
