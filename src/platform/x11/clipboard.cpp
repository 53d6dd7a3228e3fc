// The CLIPBOARD selection, set through a serving process that owns the selection until
// another program takes it. Reads use a connection of their own, so that they never
// compete with other users of the shared connection for events.
#include "platform/clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/clipboard_read.h"
#include "platform/clipboard_server.h"
#include "platform/x11/display.h"
#include "system/bounded_wait.h"
#include "system/console.h"
#include "system/text_codec.h"

namespace tapline::platform {
namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayConnection = std::unique_ptr<Display, DisplayCloser>;

struct XFreeDeleter {
  void operator()(unsigned char* data) const {
    if (data) XFree(data);
  }
};

struct Atoms {
  explicit Atoms(Display* display)
      : clipboard(XInternAtom(display, "CLIPBOARD", False)),
        utf8_string(XInternAtom(display, "UTF8_STRING", False)),
        text(XInternAtom(display, "TEXT", False)),
        targets(XInternAtom(display, "TARGETS", False)),
        incr(XInternAtom(display, "INCR", False)),
        transfer(XInternAtom(display, "TAPLINE_CLIPBOARD", False)) {}
  Atom clipboard, utf8_string, text, targets, incr, transfer;
};

// ---- Serving the text (runs in the serving process) ----

int ignore_error(Display*, XErrorEvent*) { return 0; }  // e.g. a requestor that went away
int end_quietly(Display*) { _exit(0); }                 // the X server went away

// The server's time now: ownership taken at a real timestamp, as ICCCM asks.
Time server_time(Display* display, Window window) {
  XChangeProperty(display, window, XA_WM_NAME, XA_STRING, 8, PropModeAppend, nullptr, 0);
  XEvent event;
  XWindowEvent(display, window, PropertyChangeMask, &event);
  return event.xproperty.time;
}

// A transfer too large for one property goes in pieces (the INCR protocol): the next
// piece is written each time the requestor has deleted the previous one.
struct IncrementalTransfer {
  Window requestor;
  Atom property;
  Atom type;
  const std::string* data;
  size_t offset;
};

class SelectionServer {
 public:
  SelectionServer(Display* display, Window window, std::string utf8)
      : display_(display), window_(window), atoms_(display), utf8_(std::move(utf8)) {
    latin1_ = system::convert_text(utf8_, "UTF-8", "ISO-8859-1", true).value_or(std::string());
    long max_request = XExtendedMaxRequestSize(display);
    if (max_request == 0) max_request = XMaxRequestSize(display);
    // Request sizes count 4-byte units; a quarter of the largest request keeps each
    // property write well inside it, and larger texts go in pieces of at most 1 MiB.
    piece_size_ = static_cast<size_t>(std::clamp(max_request, 4096L, 1L << 20));
  }

  bool take_ownership() {
    XSetSelectionOwner(display_, atoms_.clipboard, window_, server_time(display_, window_));
    return XGetSelectionOwner(display_, atoms_.clipboard) == window_;
  }

  // Answers requests until another program owns the selection, then finishes the texts
  // still being read in pieces: a reader that asked before gets all of it.
  void serve() {
    bool owned = true;
    while (owned || !transfers_.empty()) {
      if (!owned && !event_within(kStalledReaderTimeoutMs)) return;
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == SelectionClear && event.xselectionclear.selection == atoms_.clipboard)
        owned = false;
      if (event.type == SelectionRequest) answer(event.xselectionrequest);
      if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete)
        continue_transfer(event.xproperty.window, event.xproperty.atom);
    }
  }

 private:
  bool event_within(int timeout_ms) {
    if (XPending(display_) > 0) return true;
    pollfd events{ConnectionNumber(display_), POLLIN, 0};
    while (poll(&events, 1, timeout_ms) < 0)
      if (errno != EINTR) return false;
    return events.revents != 0;
  }

  void answer(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    // Clients of the oldest convention name no property: the target is used.
    const Atom property = request.property != None ? request.property : request.target;
    if (request.selection == atoms_.clipboard) {
      if (request.target == atoms_.targets) {
        const Atom offered[] = {atoms_.targets, atoms_.utf8_string, XA_STRING, atoms_.text};
        XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(offered), std::size(offered));
        reply.property = property;
      } else if (request.target == atoms_.utf8_string || request.target == atoms_.text) {
        send(request.requestor, property, atoms_.utf8_string, utf8_);
        reply.property = property;
      } else if (request.target == XA_STRING) {
        send(request.requestor, property, XA_STRING, latin1_);
        reply.property = property;
      }
    }
    XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(display_);
  }

  void send(Window requestor, Atom property, Atom type, const std::string& data) {
    if (data.size() <= piece_size_) {
      XChangeProperty(display_, requestor, property, type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(data.data()),
                      static_cast<int>(data.size()));
      return;
    }
    XSelectInput(display_, requestor, PropertyChangeMask);
    const long total = static_cast<long>(std::min<size_t>(data.size(), LONG_MAX));
    XChangeProperty(display_, requestor, property, atoms_.incr, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&total), 1);
    transfers_.push_back({requestor, property, type, &data, 0});
  }

  void continue_transfer(Window requestor, Atom property) {
    auto transfer =
        std::find_if(transfers_.begin(), transfers_.end(), [&](const IncrementalTransfer& t) {
          return t.requestor == requestor && t.property == property;
        });
    if (transfer == transfers_.end()) return;
    const size_t size = std::min(piece_size_, transfer->data->size() - transfer->offset);
    XChangeProperty(
        display_, requestor, property, transfer->type, 8, PropModeReplace,
        reinterpret_cast<const unsigned char*>(transfer->data->data()) + transfer->offset,
        static_cast<int>(size));
    transfer->offset += size;
    if (size == 0) {  // the empty piece has told the requestor that the text is complete
      XSelectInput(display_, requestor, NoEventMask);
      transfers_.erase(transfer);
    }
    XFlush(display_);
  }

  Display* display_;
  Window window_;
  Atoms atoms_;
  std::string utf8_;
  std::string latin1_;
  size_t piece_size_;
  std::vector<IncrementalTransfer> transfers_;
};

}  // namespace

void serve_x11_clipboard(int report_fd, std::string utf8) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    report_server_status(report_fd, ServerStatus::no_display);
    return;
  }
  XSetErrorHandler(ignore_error);
  XSetIOErrorHandler(end_quietly);
  const Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XStoreName(display, window, kClipboardServerName);
  XSelectInput(display, window, PropertyChangeMask);
  SelectionServer server(display, window, std::move(utf8));
  if (!server.take_ownership()) {
    report_server_status(report_fd, ServerStatus::not_owned);
    return;
  }
  report_server_status(report_fd, ServerStatus::owned);
  server.serve();
  XCloseDisplay(display);
}

namespace {

// ---- Reading the text ----

struct PropertyPredicate {
  Window window;
  Atom property;
};

Bool is_new_value(Display*, XEvent* event, XPointer argument) {
  const auto* wanted = reinterpret_cast<const PropertyPredicate*>(argument);
  return event->type == PropertyNotify && event->xproperty.window == wanted->window &&
         event->xproperty.atom == wanted->property && event->xproperty.state == PropertyNewValue;
}

Bool is_selection_notify(Display*, XEvent* event, XPointer argument) {
  return event->type == SelectionNotify &&
         event->xselection.requestor == *reinterpret_cast<const Window*>(argument);
}

enum class Outcome { received, refused, timed_out, stopped, too_long };

// Waits for an event that the predicate accepts, up to the deadline.
Outcome wait_for_event(Display* display, XEvent* event,
                       Bool (*predicate)(Display*, XEvent*, XPointer), XPointer argument,
                       system::Deadline deadline) {
  for (;;) {
    if (XCheckIfEvent(display, event, predicate, argument)) return Outcome::received;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    switch (system::wait_ready({&connection, 1}, deadline)) {
      case system::WaitEnd::ready:
        break;
      case system::WaitEnd::stopped:
        return Outcome::stopped;
      case system::WaitEnd::timed_out:
      case system::WaitEnd::failed:
        return Outcome::timed_out;
    }
  }
}

struct PropertyValue {
  Atom type = None;
  std::string bytes;
  bool too_long = false;  // more than the `room` it was read with
};

// The property's value, at most `room` bytes of it.
PropertyValue take_property(Display* display, Window window, Atom property, size_t room) {
  PropertyValue value;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* raw = nullptr;
  // Lengths count 4-byte units; one more than the room tells a longer value.
  const long units = static_cast<long>(std::min<size_t>(room / 4 + 1, LONG_MAX / 4));
  if (XGetWindowProperty(display, window, property, 0, units, True, AnyPropertyType, &value.type,
                         &format, &count, &remaining, &raw) != Success)
    return {};
  std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
  if (raw != nullptr && format == 8) value.bytes.assign(reinterpret_cast<char*>(raw), count);
  value.too_long = remaining > 0 || value.bytes.size() > room;
  return value;
}

// Asks the owner for the selection in one target and collects the answer, piece by piece
// when the owner sends it incrementally: all of it before the deadline, at most `cap`
// bytes.
Outcome request(Display* display, Window window, const Atoms& atoms, Atom target, size_t cap,
                system::Deadline deadline, PropertyValue& value) {
  XConvertSelection(display, atoms.clipboard, target, atoms.transfer, window, CurrentTime);
  XEvent event;
  Window requestor = window;
  const Outcome notified = wait_for_event(display, &event, is_selection_notify,
                                          reinterpret_cast<XPointer>(&requestor), deadline);
  if (notified != Outcome::received) return notified;
  if (event.xselection.property == None) return Outcome::refused;
  value = take_property(display, window, atoms.transfer, cap);
  if (value.too_long) return Outcome::too_long;
  if (value.type != atoms.incr) return Outcome::received;
  // Deleting the INCR property asked for the first piece; an empty piece ends the text.
  PropertyPredicate next{window, atoms.transfer};
  value.bytes.clear();
  for (;;) {
    const Outcome came =
        wait_for_event(display, &event, is_new_value, reinterpret_cast<XPointer>(&next), deadline);
    if (came != Outcome::received) return came;
    PropertyValue piece = take_property(display, window, atoms.transfer, cap - value.bytes.size());
    if (piece.too_long) return Outcome::too_long;
    // The owner's writing of the INCR property itself was a new value too; by now that
    // property is gone. A piece that exists but is empty ends the text.
    if (piece.type == None) continue;
    if (piece.bytes.empty()) return Outcome::received;
    value.type = piece.type;
    value.bytes += piece.bytes;
  }
}

class X11Clipboard final : public Clipboard {
 public:
  bool set_text(std::string_view text) override {
    const std::string utf8 = system::locale_to_utf8(text);
    return clipboard_server_started(start_clipboard_server("x11", utf8), "the X11 display");
  }

  std::string get_text() override {
    DisplayConnection display(XOpenDisplay(nullptr));
    if (!display) {
      system::console_diagnostic("cannot open the X11 display; no clipboard text\n");
      return {};
    }
    survive_connection_loss(display.get());
    const Atoms atoms(display.get());
    if (XGetSelectionOwner(display.get(), atoms.clipboard) == None) return {};
    const Window window =
        XCreateSimpleWindow(display.get(), DefaultRootWindow(display.get()), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display.get(), window, PropertyChangeMask);
    PropertyValue value;
    const size_t cap = clipboard_text_cap();
    const system::Deadline deadline = system::deadline_after(kClipboardReadTimeout);
    Outcome outcome =
        request(display.get(), window, atoms, atoms.utf8_string, cap, deadline, value);
    if (outcome == Outcome::refused)
      outcome = request(display.get(), window, atoms, XA_STRING, cap, deadline, value);
    switch (outcome) {
      case Outcome::received:
        break;
      case Outcome::refused:
        return {};  // the owner holds no text
      case Outcome::timed_out:
        say_clipboard_read_end(ClipboardRead::late, !value.bytes.empty());
        return {};
      case Outcome::too_long:
        say_clipboard_read_end(ClipboardRead::too_long, true);
        return {};
      case Outcome::stopped:
        return {};
    }
    std::string& bytes = value.bytes;
    bytes.resize(std::strlen(bytes.c_str()));  // the text ends at its first zero byte
    if (value.type == XA_STRING)
      bytes = system::convert_text(bytes, "ISO-8859-1", "UTF-8").value_or(bytes);
    return system::utf8_to_locale(bytes);
  }
};

}  // namespace

std::unique_ptr<Clipboard> open_x11_clipboard(std::string&) {
  return std::make_unique<X11Clipboard>();
}

}  // namespace tapline::platform
