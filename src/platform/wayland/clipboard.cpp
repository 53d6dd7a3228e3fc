// The Wayland clipboard through the wlroots data-control protocol, which lets a program
// without a focused window (as the script's is) set and read the selection. Setting hands
// the text to a serving process that offers it until another program sets the selection.
// Every use has a connection of its own.
#include "platform/clipboard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland/wlr-data-control-unstable-v1-client-protocol.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/clipboard_read.h"
#include "platform/clipboard_server.h"
#include "platform/desktop.h"
#include "platform/wayland/display.h"
#include "system/bounded_wait.h"
#include "system/console.h"
#include "system/stop_request.h"
#include "system/text_codec.h"

namespace tapline::platform {
namespace {

// The text types offered, and read in this order of preference. The X11 names are there
// for Xwayland's bridge and for X11 habits of other clients; "STRING" is Latin-1.
constexpr std::array<const char*, 5> kTextTypes = {"text/plain;charset=utf-8", "UTF8_STRING",
                                                   "text/plain", "TEXT", "STRING"};
constexpr std::string_view kLatin1Type = "STRING";

// The connection with the two globals the clipboard needs.
class DataControlConnection {
 public:
  // Empty when the display cannot be reached (`reachable` false, the reason in `failure`)
  // or offers no data control.
  static std::unique_ptr<DataControlConnection> open(bool& reachable,
                                                     wayland::Connection::Failure& failure) {
    std::unique_ptr<wayland::Connection> connection = wayland::Connection::open(failure);
    reachable = connection != nullptr;
    if (!reachable) return nullptr;
    std::unique_ptr<DataControlConnection> data_control(
        new DataControlConnection(std::move(connection)));
    if (data_control->seat_ == nullptr || data_control->manager_ == nullptr) return nullptr;
    return data_control;
  }

  ~DataControlConnection() {
    if (manager_) zwlr_data_control_manager_v1_destroy(manager_);
    if (seat_) wl_seat_destroy(seat_);
  }

  wl_display* display() const { return connection_->display(); }
  wl_seat* seat() const { return seat_; }
  zwlr_data_control_manager_v1* manager() const { return manager_; }
  // Whether the compositor has answered everything sent so far, in time.
  bool roundtrip() { return connection_->roundtrip() == wayland::Connection::Answer::given; }
  const std::string& name() const { return connection_->name(); }

 private:
  // The first seat: a desktop's clipboard belongs to its seat, and desktops have one.
  explicit DataControlConnection(std::unique_ptr<wayland::Connection> connection)
      : connection_(std::move(connection)),
        seat_(static_cast<wl_seat*>(connection_->bind(wl_seat_interface, 1))),
        manager_(static_cast<zwlr_data_control_manager_v1*>(
            connection_->bind(zwlr_data_control_manager_v1_interface, 1))) {}

  std::unique_ptr<wayland::Connection> connection_;
  wl_seat* seat_;
  zwlr_data_control_manager_v1* manager_;
};

// The offers that a data device announces and which of them is the selection.
class SelectionWatch {
 public:
  explicit SelectionWatch(zwlr_data_control_device_v1* device) : device_(device) {
    static const zwlr_data_control_device_v1_listener listener = {on_data_offer, on_selection,
                                                                  on_finished, on_primary};
    zwlr_data_control_device_v1_add_listener(device_, &listener, this);
  }
  ~SelectionWatch() {
    for (Offer& offer : offers_) zwlr_data_control_offer_v1_destroy(offer.proxy);
    zwlr_data_control_device_v1_destroy(device_);
  }
  SelectionWatch(const SelectionWatch&) = delete;
  SelectionWatch& operator=(const SelectionWatch&) = delete;

  zwlr_data_control_device_v1* device() const { return device_; }
  // The selection's offer and its types; nullptr while no program holds the selection.
  zwlr_data_control_offer_v1* selection() const { return selection_; }
  const std::vector<std::string>* selection_types() const {
    for (const Offer& offer : offers_)
      if (offer.proxy == selection_) return &offer.types;
    return nullptr;
  }

 private:
  struct Offer {
    zwlr_data_control_offer_v1* proxy;
    std::vector<std::string> types;
  };

  static void on_data_offer(void* data, zwlr_data_control_device_v1*,
                            zwlr_data_control_offer_v1* proxy) {
    auto* self = static_cast<SelectionWatch*>(data);
    self->offers_.push_back({proxy, {}});
    static const zwlr_data_control_offer_v1_listener listener = {on_offer_type};
    zwlr_data_control_offer_v1_add_listener(proxy, &listener, &self->offers_.back().types);
  }
  static void on_offer_type(void* data, zwlr_data_control_offer_v1*, const char* type) {
    static_cast<std::vector<std::string>*>(data)->emplace_back(type);
  }
  // Offers older than the selection are gone for good.
  static void on_selection(void* data, zwlr_data_control_device_v1*,
                           zwlr_data_control_offer_v1* proxy) {
    auto* self = static_cast<SelectionWatch*>(data);
    self->selection_ = proxy;
    std::erase_if(self->offers_, [&](const Offer& offer) {
      if (offer.proxy == proxy) return false;
      zwlr_data_control_offer_v1_destroy(offer.proxy);
      return true;
    });
  }
  static void on_finished(void*, zwlr_data_control_device_v1*) {}
  static void on_primary(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {}

  zwlr_data_control_device_v1* device_;
  zwlr_data_control_offer_v1* selection_ = nullptr;
  // A list that never moves its elements: each offer's listener holds its type list.
  std::list<Offer> offers_;
};

// ---- Serving the text (runs in the serving process) ----

class SelectionServer {
 public:
  SelectionServer(DataControlConnection& connection, std::string utf8)
      : connection_(connection),
        utf8_(std::move(utf8)),
        latin1_(system::convert_text(utf8_, "UTF-8", "ISO-8859-1", true).value_or(std::string())),
        watch_(
            zwlr_data_control_manager_v1_get_data_device(connection.manager(), connection.seat())),
        source_(zwlr_data_control_manager_v1_create_data_source(connection.manager())) {
    static const zwlr_data_control_source_v1_listener listener = {on_send, on_cancelled};
    zwlr_data_control_source_v1_add_listener(source_, &listener, this);
    for (const char* type : kTextTypes) zwlr_data_control_source_v1_offer(source_, type);
  }
  ~SelectionServer() {
    for (const Transfer& transfer : transfers_) close(transfer.fd);
    zwlr_data_control_source_v1_destroy(source_);
  }

  bool take_selection() {
    zwlr_data_control_device_v1_set_selection(watch_.device(), source_);
    return connection_.roundtrip() && !cancelled_;
  }

  // Answers requests until another program sets the selection or the compositor goes,
  // then finishes the texts still being read.
  void serve() {
    answer_requests();
    finish_transfers();
  }

 private:
  void answer_requests() {
    wl_display* display = connection_.display();
    std::vector<pollfd> watched;
    while (!cancelled_) {
      while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return;
      }
      if (cancelled_) {
        wl_display_cancel_read(display);
        return;
      }
      wl_display_flush(display);
      watched.assign(1, pollfd{wl_display_get_fd(display), POLLIN, 0});
      for (const Transfer& transfer : transfers_) watched.push_back({transfer.fd, POLLOUT, 0});
      if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) {
        wl_display_cancel_read(display);
        return;
      }
      if (watched[0].revents & (POLLIN | POLLERR | POLLHUP)) {
        if (wl_display_read_events(display) < 0) return;
      } else {
        wl_display_cancel_read(display);
      }
      // Only transfers that were polled: new ones were added by the events just read.
      for (size_t i = watched.size() - 1; i > 0; --i)
        if (watched[i].revents != 0) continue_transfer(i - 1);
      if (wl_display_dispatch_pending(display) < 0) return;
    }
  }

  // A reader that asked before the selection went gets the whole text, as it would have
  // had it read faster.
  void finish_transfers() {
    std::vector<pollfd> watched;
    while (!transfers_.empty()) {
      watched.clear();
      for (const Transfer& transfer : transfers_) watched.push_back({transfer.fd, POLLOUT, 0});
      const int ready = poll(watched.data(), watched.size(), kStalledReaderTimeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return;
      for (size_t i = watched.size(); i-- > 0;)
        if (watched[i].revents != 0) continue_transfer(i);
    }
  }

  // A reader that reads slowly or not at all holds up no other reader.
  struct Transfer {
    int fd;
    const std::string* data;
    size_t offset;
  };

  static void on_send(void* data, zwlr_data_control_source_v1*, const char* type, int fd) {
    auto* self = static_cast<SelectionServer*>(data);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    self->transfers_.push_back({fd, type == kLatin1Type ? &self->latin1_ : &self->utf8_, 0});
  }
  static void on_cancelled(void* data, zwlr_data_control_source_v1*) {
    static_cast<SelectionServer*>(data)->cancelled_ = true;
  }

  void continue_transfer(size_t index) {
    Transfer& transfer = transfers_[index];
    const std::string& data = *transfer.data;
    ssize_t written = 0;
    if (transfer.offset < data.size()) {
      written = write(transfer.fd, data.data() + transfer.offset, data.size() - transfer.offset);
      if (written > 0) transfer.offset += static_cast<size_t>(written);
    }
    const bool failed = written < 0 && errno != EAGAIN && errno != EINTR;
    if (failed || transfer.offset == data.size()) {
      close(transfer.fd);  // the end of the text, or a reader that went away
      transfers_.erase(transfers_.begin() + static_cast<ptrdiff_t>(index));
    }
  }

  DataControlConnection& connection_;
  std::string utf8_;
  std::string latin1_;
  SelectionWatch watch_;
  zwlr_data_control_source_v1* source_;
  std::vector<Transfer> transfers_;
  bool cancelled_ = false;
};

}  // namespace

void serve_wayland_clipboard(int report_fd, std::string utf8) {
  bool reachable = false;
  wayland::Connection::Failure failure;
  auto connection = DataControlConnection::open(reachable, failure);
  if (!connection) {
    report_server_status(report_fd,
                         reachable ? ServerStatus::unsupported : ServerStatus::no_display);
    return;
  }
  SelectionServer server(*connection, std::move(utf8));
  if (!server.take_selection()) {
    report_server_status(report_fd, ServerStatus::not_owned);
    return;
  }
  report_server_status(report_fd, ServerStatus::owned);
  server.serve();
}

namespace {

// ---- Reading the text ----

class WaylandClipboard final : public Clipboard {
 public:
  // `silent_compositor` names a compositor that did not answer when the clipboard was
  // chosen: the first use says so instead of waiting for it once more.
  explicit WaylandClipboard(std::string silent_compositor)
      : silent_compositor_(std::move(silent_compositor)) {}

  bool set_text(std::string_view text) override {
    if (said_silent("clipboard not set")) return false;
    const std::string utf8 = system::locale_to_utf8(text);
    return clipboard_server_started(start_clipboard_server("wayland", utf8), "the Wayland display");
  }

  std::string get_text() override {
    if (said_silent("no clipboard text")) return {};
    bool reachable = false;
    wayland::Connection::Failure failure;
    auto connection = DataControlConnection::open(reachable, failure);
    if (!connection) {
      if (failure.kind == wayland::Connection::Failure::silent)
        say_silent(wayland_socket_name(), "no clipboard text");
      else if (failure.kind != wayland::Connection::Failure::stopped)
        system::console_diagnostic(
            "cannot use the Wayland display's clipboard; no clipboard text\n");
      return {};
    }
    const system::Deadline deadline = system::deadline_after(kClipboardReadTimeout);
    // A new data device is told the current selection at once.
    SelectionWatch watch(
        zwlr_data_control_manager_v1_get_data_device(connection->manager(), connection->seat()));
    if (!connection->roundtrip()) {
      if (!system::stop_requested()) say_silent(connection->name(), "no clipboard text");
      return {};
    }
    if (watch.selection() == nullptr) return {};
    const std::vector<std::string>* offered = watch.selection_types();
    if (offered == nullptr) return {};
    const auto type = std::find_if(kTextTypes.begin(), kTextTypes.end(), [&](const char* type) {
      return std::find(offered->begin(), offered->end(), type) != offered->end();
    });
    if (type == kTextTypes.end()) return {};  // the owner holds no text
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
      system::console_diagnostic("cannot create a pipe for the clipboard: %s; no clipboard text\n",
                                 std::strerror(errno));
      return {};
    }
    zwlr_data_control_offer_v1_receive(watch.selection(), *type, pipe_fds[1]);
    wl_display_flush(connection->display());
    close(pipe_fds[1]);
    std::string bytes;
    const ClipboardRead end = read_clipboard_text(pipe_fds[0], bytes, deadline);
    close(pipe_fds[0]);
    if (end != ClipboardRead::complete) {
      say_clipboard_read_end(end, !bytes.empty());
      return {};
    }
    bytes.resize(std::strlen(bytes.c_str()));  // the text ends at its first zero byte
    if (*type == kLatin1Type)
      bytes = system::convert_text(bytes, "ISO-8859-1", "UTF-8").value_or(bytes);
    return system::utf8_to_locale(bytes);
  }

 private:
  static void say_silent(const std::string& compositor, const char* outcome) {
    system::console_diagnostic("the Wayland compositor at %s does not answer; %s\n",
                               compositor.c_str(), outcome);
  }
  bool said_silent(const char* outcome) {
    if (silent_compositor_.empty()) return false;
    say_silent(silent_compositor_, outcome);
    silent_compositor_.clear();
    return true;
  }

  std::string silent_compositor_;
};

}  // namespace

std::unique_ptr<Clipboard> open_wayland_clipboard(std::string& why_not) {
  bool reachable = false;
  wayland::Connection::Failure failure;
  if (DataControlConnection::open(reachable, failure))
    return std::make_unique<WaylandClipboard>(std::string());
  // A hung compositor is still the desktop's: X11 (its Xwayland) would not serve either.
  if (!reachable && failure.kind == wayland::Connection::Failure::silent)
    return std::make_unique<WaylandClipboard>(wayland_socket_name());
  why_not = reachable ? "the Wayland display offers no clipboard to other programs (Wayland "
                        "programs see the X11 one only after an X11 window had the focus)"
                      : "cannot connect to the Wayland display " + wayland_socket_name();
  return nullptr;
}

}  // namespace tapline::platform
