#include "platform/dbus/dbus.h"

#include <cerrno>
#include <cstring>

namespace tapline::platform::dbus {

std::string bus_error_text(const sd_bus_error* error, int code) {
  if (error != nullptr && sd_bus_error_is_set(error))
    return error->message ? error->message : error->name;
  return std::strerror(code < 0 ? -code : code);
}

Bus open_session_bus(std::string& why_not) {
  sd_bus* bus = nullptr;
  const int result = sd_bus_open_user(&bus);
  if (result == -ENOMEDIUM) {
    why_not = "no session bus (neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)";
    return nullptr;
  }
  if (result < 0) {
    why_not = "cannot reach the session bus (" + bus_error_text(nullptr, result) + ")";
    return nullptr;
  }
  return Bus(bus);
}

bool name_has_owner(sd_bus* bus, const char* name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int owned = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", name) >= 0)
    sd_bus_message_read(reply, "b", &owned);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return owned != 0;
}

Message new_method_call(sd_bus* bus, const char* destination, const char* path,
                        const char* interface, const char* member) {
  sd_bus_message* message = nullptr;
  if (sd_bus_message_new_method_call(bus, &message, destination, path, interface, member) < 0)
    return nullptr;
  return Message(message);
}

Message call(sd_bus* bus, sd_bus_message* call, std::string& why_not) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int result = sd_bus_call(bus, call, 0, &error, &reply);
  if (result < 0) {
    const char* member = sd_bus_message_get_member(call);
    why_not = std::string(member ? member : "call") + ": " + bus_error_text(&error, result);
  }
  sd_bus_error_free(&error);
  return Message(result < 0 ? nullptr : reply);
}

SignalWait::SignalWait(sd_bus* bus, const char* sender, const char* path, const char* interface,
                       const char* member)
    : bus_(bus), member_(member) {
  sd_bus_slot* slot = nullptr;
  match_error_ = sd_bus_match_signal(bus, &slot, sender, path, interface, member, on_signal, this);
  slot_.reset(slot);
}

int SignalWait::on_signal(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* wait = static_cast<SignalWait*>(self);
  if (!wait->received_) wait->received_.reset(sd_bus_message_ref(message));
  return 0;
}

Message SignalWait::wait(std::chrono::milliseconds bound, std::string& why_not) {
  if (match_error_ < 0) {
    why_not = "cannot watch for " + member_ + " (" + bus_error_text(nullptr, match_error_) + ")";
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!received_) {
    const int processed = sd_bus_process(bus_, nullptr);
    if (processed < 0) {
      why_not = "the session bus failed while waiting for " + member_ + " (" +
                bus_error_text(nullptr, processed) + ")";
      return nullptr;
    }
    if (processed > 0) continue;  // more may be queued
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      why_not = "no " + member_ + " came within " + std::to_string(bound.count()) + " ms";
      return nullptr;
    }
    const auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    const int waited = sd_bus_wait(bus_, static_cast<uint64_t>(microseconds));
    if (waited < 0) {
      why_not = "the session bus failed while waiting for " + member_ + " (" +
                bus_error_text(nullptr, waited) + ")";
      return nullptr;
    }
  }
  slot_.reset();  // one signal is all this waits for
  return std::move(received_);
}

}  // namespace tapline::platform::dbus
