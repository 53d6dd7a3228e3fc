#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/top_level_windows.h"
#include "platform/x11/display.h"
#include "platform/x11/error_trap.h"
#include "system/text_codec.h"

namespace tapline::platform {
namespace {

struct XFreeDeleter {
  void operator()(void* data) const {
    if (data) XFree(data);
  }
};
using XData = std::unique_ptr<unsigned char, XFreeDeleter>;

// A property of 32-bit items (window ids, cardinals); Xlib hands each item as a long.
std::vector<unsigned long> long_property(Display* display, Window window, Atom property,
                                         Atom type) {
  Atom actual_type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* raw = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 1L << 20, False, type, &actual_type, &format,
                         &count, &remaining, &raw) != Success)
    return {};
  XData data(raw);
  if (actual_type != type || format != 32 || raw == nullptr) return {};
  const auto* items = reinterpret_cast<const unsigned long*>(raw);
  return {items, items + count};
}

bool has_property(Display* display, Window window, Atom property) {
  Atom actual_type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* raw = nullptr;
  const int status = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType,
                                        &actual_type, &format, &count, &remaining, &raw);
  XData data(raw);
  return status == Success && actual_type != None;
}

// _NET_WM_NAME, which is UTF-8 by definition.
std::string net_wm_name(Display* display, Window window) {
  const Atom utf8_string = XInternAtom(display, "UTF8_STRING", False);
  Atom actual_type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* raw = nullptr;
  if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), 0, 1L << 16,
                         False, utf8_string, &actual_type, &format, &count, &remaining,
                         &raw) != Success)
    return {};
  XData data(raw);
  if (actual_type != utf8_string || format != 8 || raw == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(raw), count);
}

// WM_NAME in whatever encoding it was stored (Latin-1, compound text, UTF-8), as UTF-8.
std::string wm_name(Display* display, Window window) {
  XTextProperty text{};
  if (!XGetWMName(display, window, &text) || text.value == nullptr) return {};
  XData value(text.value);
  char** list = nullptr;
  int count = 0;
  std::string name;
  if (Xutf8TextPropertyToTextList(display, &text, &list, &count) >= Success && list != nullptr) {
    if (count > 0 && list[0] != nullptr) name = list[0];
    XFreeStringList(list);
  }
  return name;
}

// Below a window manager's frame, the window that carries the application's properties
// is the one marked with WM_STATE.
Window client_below(Display* display, Window window, Atom wm_state, int depth) {
  if (has_property(display, window, wm_state)) return window;
  if (depth == 0) return None;
  Window root = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return None;
  std::unique_ptr<Window, XFreeDeleter> owned(children);
  for (unsigned int i = count; i-- > 0;) {
    if (Window client = client_below(display, children[i], wm_state, depth - 1)) return client;
  }
  return None;
}

// The application windows: the window manager's client list when it keeps one, else the
// root's children (topmost first), each replaced by its client window below a frame.
std::vector<Window> top_level_candidates(Display* display) {
  const Window root = DefaultRootWindow(display);
  std::vector<unsigned long> listed =
      long_property(display, root, XInternAtom(display, "_NET_CLIENT_LIST", False), XA_WINDOW);
  if (!listed.empty()) return {listed.begin(), listed.end()};
  Window root_return = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, root, &root_return, &parent, &children, &count)) return {};
  std::unique_ptr<Window, XFreeDeleter> owned(children);
  const Atom wm_state = XInternAtom(display, "WM_STATE", False);
  std::vector<Window> windows;
  windows.reserve(count);
  for (unsigned int i = count; i-- > 0;) {
    const Window client = client_below(display, children[i], wm_state, 2);
    windows.push_back(client != None ? client : children[i]);
  }
  return windows;
}

std::optional<WindowPlacement> placement_of(Display* display, Window window) {
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(display, window, &attributes)) return std::nullopt;
  int x = 0, y = 0;
  Window child = None;
  if (!XTranslateCoordinates(display, window, attributes.root, 0, 0, &x, &y, &child))
    return std::nullopt;
  // A window manager's frame around the window: left, right, top, bottom.
  std::vector<unsigned long> frame = long_property(
      display, window, XInternAtom(display, "_NET_FRAME_EXTENTS", False), XA_CARDINAL);
  frame.resize(4, 0);
  const int border = attributes.border_width;
  WindowPlacement placement;
  placement.left = x - border - static_cast<int>(frame[0]);
  placement.top = y - border - static_cast<int>(frame[2]);
  placement.width = attributes.width + 2 * border + static_cast<int>(frame[0] + frame[1]);
  placement.height = attributes.height + 2 * border + static_cast<int>(frame[2] + frame[3]);
  placement.handle = window;
  return placement;
}

class X11Windows final : public TopLevelWindows {
 public:
  std::optional<WindowPlacement> find(const char* title) override {
    Display* display = x11_display();
    if (display == nullptr) return std::nullopt;
    const std::string wanted = title != nullptr ? system::locale_to_utf8(title) : std::string();
    // Windows may vanish while they are looked at; such a window is simply not found.
    X11ErrorTrap trap(display);
    for (Window window : top_level_candidates(display)) {
      const std::string names[] = {net_wm_name(display, window), wm_name(display, window)};
      bool matches = false;
      for (const std::string& name : names)
        matches = matches || (title != nullptr ? name == wanted : !name.empty());
      if (!matches) continue;
      if (auto placement = placement_of(display, window)) return placement;
    }
    return std::nullopt;
  }

  bool move(uint64_t handle, int x, int y) override {
    Display* display = x11_display();
    if (display == nullptr || handle == 0) return false;
    const auto window = static_cast<Window>(handle);
    X11ErrorTrap trap(display);
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes) || trap.failed()) return false;
    XMoveWindow(display, window, x, y);
    XMapRaised(display, window);
    return !trap.failed();
  }
};

}  // namespace

std::unique_ptr<TopLevelWindows> open_x11_windows(std::string&) {
  return std::make_unique<X11Windows>();
}

}  // namespace tapline::platform
