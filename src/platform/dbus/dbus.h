// The little of D-Bus that the GNOME and portal backends need, over sd-bus: the session bus,
// method calls with their error in words, and waiting a bounded time for one signal.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <string>

namespace tapline::platform::dbus {

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

// A connection of our own to the session bus; nullptr with the reason in `why_not`.
Bus open_session_bus(std::string& why_not);

// True when `name` has an owner on the bus.
bool name_has_owner(sd_bus* bus, const char* name);

// A method call to fill with sd_bus_message_append; nullptr when it cannot be made.
Message new_method_call(sd_bus* bus, const char* destination, const char* path,
                        const char* interface, const char* member);
// Sends `call` and waits for the reply, at most system::kPeerAnswerTimeout; a stop request
// ends the wait at once. nullptr with "<member>: <error>" in `why_not` when the call fails
// or nothing answers, and the D-Bus error's name in `error_name` where the peer gave one.
Message call(sd_bus* bus, sd_bus_message* call, std::string& why_not,
             std::string* error_name = nullptr);

// The text of an sd-bus error code or reply error.
std::string bus_error_text(const sd_bus_error* error, int code);

// One signal to wait for. Made before the call that causes the signal, so that a signal
// sent at once is not missed.
class SignalWait {
 public:
  // Matches the signal `interface`.`member` on `path` (nullptr: any path) from `sender`.
  SignalWait(sd_bus* bus, const char* sender, const char* path, const char* interface,
             const char* member);
  // The first matching signal, or nullptr with the reason in `why_not` when none came
  // within `bound`, the bus failed or a stop was requested (which ends the wait at once).
  Message wait(std::chrono::milliseconds bound, std::string& why_not);

 private:
  static int on_signal(sd_bus_message* message, void* self, sd_bus_error* error);

  sd_bus* bus_;
  std::string member_;
  Slot slot_;
  int match_error_ = 0;
  Message received_;
};

}  // namespace tapline::platform::dbus
