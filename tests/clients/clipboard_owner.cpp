// A clipboard owner for the clipboard tests that never finishes giving its text: on X11
// (the CLIPBOARD selection, sent in INCR pieces) or on Wayland (wlroots data control).
// "trickle" sends one byte every 500 ms, "endless" sends 64 KiB pieces without end.
// Prints "ready" once it owns the clipboard.
//
//   tapline_clipboard_owner x11|wayland trickle|endless
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/wlr-data-control-unstable-v1-client-protocol.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool trickle = false;

std::string next_piece() {
  if (!trickle) return std::string(65536, 'x');
  usleep(500000);
  return "x";
}

int own_x11() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // a reader that went away
  const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  const Atom incr = XInternAtom(display, "INCR", False);
  const Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(display, clipboard, window, CurrentTime);
  if (XGetSelectionOwner(display, clipboard) != window) return 1;
  std::puts("ready");
  std::fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == SelectionRequest) {
      const XSelectionRequestEvent& request = event.xselectionrequest;
      XSelectInput(display, request.requestor, PropertyChangeMask);
      const long size = 1L << 30;  // announced; never finished
      XChangeProperty(display, request.requestor, request.property, incr, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&size), 1);
      XSelectionEvent reply{};
      reply.type = SelectionNotify;
      reply.requestor = request.requestor;
      reply.selection = request.selection;
      reply.target = request.target;
      reply.property = request.property;
      reply.time = request.time;
      XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
      const std::string piece = next_piece();
      XChangeProperty(display, event.xproperty.window, event.xproperty.atom,
                      XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(piece.data()),
                      static_cast<int>(piece.size()));
    }
    XFlush(display);
  }
}

zwlr_data_control_manager_v1* manager = nullptr;
wl_seat* seat = nullptr;

void on_global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0)
    manager = static_cast<zwlr_data_control_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && seat == nullptr)
    seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
}
void on_global_remove(void*, wl_registry*, uint32_t) {}

// Each reader is written to by a process of its own, which ends when the reader goes.
void on_send(void*, zwlr_data_control_source_v1*, const char*, int fd) {
  if (fork() == 0) {
    for (;;) {
      const std::string piece = next_piece();
      if (write(fd, piece.data(), piece.size()) < 0) _exit(0);
    }
  }
  close(fd);
}
void on_cancelled(void*, zwlr_data_control_source_v1*) { _exit(0); }

int own_wayland() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return 1;
  static const wl_registry_listener registry_listener = {on_global, on_global_remove};
  wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, nullptr);
  wl_display_roundtrip(display);
  if (manager == nullptr || seat == nullptr) return 1;
  zwlr_data_control_source_v1* source = zwlr_data_control_manager_v1_create_data_source(manager);
  static const zwlr_data_control_source_v1_listener source_listener = {on_send, on_cancelled};
  zwlr_data_control_source_v1_add_listener(source, &source_listener, nullptr);
  zwlr_data_control_source_v1_offer(source, "text/plain;charset=utf-8");
  zwlr_data_control_device_v1* device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
  zwlr_data_control_device_v1_set_selection(device, source);
  wl_display_roundtrip(display);
  std::puts("ready");
  std::fflush(stdout);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  trickle = std::strcmp(argv[2], "trickle") == 0;
  signal(SIGCHLD, SIG_IGN);  // the writers are nobody's zombies
  return std::strcmp(argv[1], "x11") == 0 ? own_x11() : own_wayland();
}
