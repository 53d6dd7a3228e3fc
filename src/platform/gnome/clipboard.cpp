// GNOME's clipboard through the clipboard of a mutter remote desktop session, which needs
// neither a window nor the keyboard focus. mutter's clipboard manager reads every new
// owner's text at once (up to 4 MiB) and offers its copy when the owner goes, so a text of
// that size is served here until mutter has its copy; a longer one by the serving
// process, until another program takes the clipboard.
#include "platform/clipboard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clipboard_read.h"
#include "platform/clipboard_server.h"
#include "platform/gnome/remote_desktop.h"
#include "system/console.h"
#include "system/stop_request.h"
#include "system/text_codec.h"

namespace tapline::platform {
namespace {

using gnome::RemoteDesktop;

constexpr const char kUtf8Type[] = "text/plain;charset=utf-8";
constexpr size_t kMutterKeeps = 4 << 20;  // the largest text mutter keeps a copy of
// The first transfer is mutter's own copy: the clipboard is set once it is served. Later
// readers in the next moment are served too, then mutter's copy takes over.
constexpr int kFirstTransferTimeoutMs = 5000;
constexpr int kLingerMs = 200;

int elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - since)
                              .count());
}

// The descriptor a reply carries, as a non-blocking copy of our own; -1 when it has none.
int take_descriptor(sd_bus_message* reply) {
  int fd = -1;
  if (reply == nullptr || sd_bus_message_read(reply, "h", &fd) < 0) return -1;
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own >= 0) fcntl(own, F_SETFL, fcntl(own, F_GETFL) | O_NONBLOCK);
  return own;
}

// Waits for the session's bus or a stop request; false on a stop or after `timeout_ms`.
bool wait_for_bus(sd_bus* bus, int timeout_ms) {
  pollfd fds[2] = {{sd_bus_get_fd(bus), POLLIN, 0}, {system::stop_wake_fd(), POLLIN, 0}};
  const int ready = poll(fds, fds[1].fd < 0 ? 1 : 2, timeout_ms);
  return ready > 0 && (fds[1].fd < 0 || fds[1].revents == 0);
}

// The owner's side: the session offers the text and hands it to each transfer mutter asks
// for, until the caller has had enough or another program owns the clipboard.
class Offer {
 public:
  Offer(RemoteDesktop& session, std::string utf8) : session_(session), utf8_(std::move(utf8)) {
    sd_bus* bus = session.bus();
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus, &slot, gnome::kRemoteDesktopName, session.path().c_str(),
                            gnome::kRemoteDesktopSession, "SelectionTransfer", on_transfer,
                            this) >= 0)
      transfer_watch_.reset(slot);
    if (sd_bus_match_signal(bus, &slot, gnome::kRemoteDesktopName, session.path().c_str(),
                            gnome::kRemoteDesktopSession, "SelectionOwnerChanged", on_owner,
                            this) >= 0)
      owner_watch_.reset(slot);
  }

  bool start() {
    return transfer_watch_ && owner_watch_ &&
           session_.call("SetSelection", "a{sv}", 1, "mime-types", "as", 2, kUtf8Type,
                         "UTF8_STRING");
  }

  // Serves transfers until `enough` (given the number served so far) says so, the
  // clipboard is lost, or nothing comes for `idle_ms` (-1: no bound).
  template <typename Enough>
  void serve(Enough enough, int idle_ms) {
    while (!lost_ && !enough(served_)) {
      if (session_.closed()) return;
      if (!pending_.empty()) {
        const uint32_t serial = pending_.front();
        pending_.erase(pending_.begin());
        hand_over(serial);
        continue;
      }
      if (sd_bus_process(session_.bus(), nullptr) > 0) continue;
      if (!wait_for_bus(session_.bus(), idle_ms)) return;
    }
  }

  int served() const { return served_; }

 private:
  static int on_transfer(sd_bus_message* message, void* self, sd_bus_error*) {
    const char* type = nullptr;
    uint32_t serial = 0;
    if (sd_bus_message_read(message, "su", &type, &serial) >= 0)
      static_cast<Offer*>(self)->pending_.push_back(serial);
    return 0;
  }
  static int on_owner(sd_bus_message* message, void* self, sd_bus_error*) {
    // {"session-is-owner": false} or {} when another program (or nobody) owns it.
    bool ours = false;
    if (sd_bus_message_enter_container(message, 'a', "{sv}") >= 0) {
      while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* name = nullptr;
        int value = 0;
        if (sd_bus_message_read(message, "s", &name) < 0) break;
        if (std::strcmp(name, "session-is-owner") == 0 &&
            sd_bus_message_read(message, "v", "b", &value) >= 0)
          ours = value != 0;
        else
          sd_bus_message_skip(message, "v");
        sd_bus_message_exit_container(message);
      }
    }
    if (!ours) static_cast<Offer*>(self)->lost_ = true;
    return 0;
  }

  // Writes the text into the transfer's descriptor, closes it, then says it is done
  // (mutter's reader sees the end only once every copy of the descriptor is closed).
  void hand_over(uint32_t serial) {
    int fd = -1;
    {
      dbus::Message reply = session_.call("SelectionWrite", "u", serial);
      fd = take_descriptor(reply.get());
    }
    bool written = fd >= 0;
    size_t done = 0;
    while (written && done < utf8_.size()) {
      const ssize_t put = write(fd, utf8_.data() + done, utf8_.size() - done);
      if (put > 0) {
        done += static_cast<size_t>(put);
      } else if (put < 0 && errno == EAGAIN) {
        pollfd room{fd, POLLOUT, 0};
        written = poll(&room, 1, kStalledReaderTimeoutMs) > 0 && !(room.revents & POLLERR);
      } else if (put < 0 && errno != EINTR) {
        written = false;
      }
    }
    if (fd >= 0) close(fd);
    session_.call("SelectionWriteDone", "ub", serial, written ? 1 : 0);
    if (written) ++served_;
  }

  RemoteDesktop& session_;
  std::string utf8_;
  dbus::Slot transfer_watch_;
  dbus::Slot owner_watch_;
  std::vector<uint32_t> pending_;
  int served_ = 0;
  bool lost_ = false;
};

class GnomeClipboard final : public Clipboard {
 public:
  bool set_text(std::string_view text) override {
    const std::string utf8 = system::locale_to_utf8(text);
    if (utf8.size() > kMutterKeeps)
      return clipboard_server_started(start_clipboard_server("gnome", utf8),
                                      "GNOME's remote desktop service");
    std::string why_not;
    auto session = RemoteDesktop::open(false, true, why_not);
    if (!session) {
      system::console_diagnostic("cannot use GNOME's clipboard: %s\n", why_not.c_str());
      return false;
    }
    Offer offer(*session, utf8);
    if (!offer.start()) {
      system::console_diagnostic("cannot set GNOME's clipboard: %s\n", session->error().c_str());
      return false;
    }
    offer.serve([](int served) { return served > 0; }, kFirstTransferTimeoutMs);
    if (offer.served() == 0) {
      system::console_diagnostic("GNOME's clipboard did not take the text%s%s\n",
                                 session->closed() ? ": " : "",
                                 session->closed() ? session->error().c_str() : "");
      return false;
    }
    const auto served_at = std::chrono::steady_clock::now();
    offer.serve([&](int) { return elapsed_ms(served_at) >= kLingerMs; }, kLingerMs);
    return true;
  }

  std::string get_text() override {
    std::string why_not;
    auto session = RemoteDesktop::open(false, true, why_not);
    if (!session) {
      system::console_diagnostic("cannot use GNOME's clipboard: %s; no clipboard text\n",
                                 why_not.c_str());
      return {};
    }
    // An owner without UTF-8 text, or no owner at all, is an empty clipboard.
    int fd = take_descriptor(session->call("SelectionRead", "s", kUtf8Type).get());
    if (fd < 0) return {};
    std::string bytes;
    const ClipboardRead end =
        read_clipboard_text(fd, bytes, system::deadline_after(kClipboardReadTimeout));
    close(fd);
    if (end != ClipboardRead::complete) {
      say_clipboard_read_end(end, !bytes.empty());
      return {};
    }
    bytes.resize(std::strlen(bytes.c_str()));  // the text ends at its first zero byte
    return system::utf8_to_locale(bytes);
  }
};

}  // namespace

std::unique_ptr<Clipboard> open_gnome_clipboard(std::string& why_not) {
  dbus::Bus bus = dbus::open_session_bus(why_not);
  if (!bus) return nullptr;
  if (!dbus::name_has_owner(bus.get(), gnome::kRemoteDesktopName)) {
    why_not = std::string(gnome::kRemoteDesktopName) + " is not on the session bus";
    return nullptr;
  }
  return std::make_unique<GnomeClipboard>();
}

// The serving process of a text longer than mutter keeps: a session of its own that
// offers the text until another program takes the clipboard.
void serve_gnome_clipboard(int report_fd, std::string utf8) {
  std::string why_not;
  auto session = RemoteDesktop::open(false, true, why_not);
  if (!session) {
    report_server_status(report_fd, ServerStatus::no_display);
    return;
  }
  Offer offer(*session, utf8);
  if (!offer.start()) {
    report_server_status(report_fd, ServerStatus::not_owned);
    return;
  }
  report_server_status(report_fd, ServerStatus::owned);
  offer.serve([](int) { return false; }, -1);
}

}  // namespace tapline::platform
