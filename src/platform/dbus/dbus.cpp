#include "platform/dbus/dbus.h"

#include <cerrno>
#include <cstring>

#include "system/bounded_wait.h"

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
  Message question = new_method_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "NameHasOwner");
  if (!question || sd_bus_message_append(question.get(), "s", name) < 0) return false;
  std::string ignored;
  const Message reply = call(bus, question.get(), ignored);
  int owned = 0;
  if (reply) sd_bus_message_read(reply.get(), "b", &owned);
  return owned != 0;
}

namespace {

// Waits until the bus has work (a message, or a call's timeout that sd_bus_process turns
// into an error reply), the deadline passes or a stop is requested.
system::WaitEnd wait_for_bus(sd_bus* bus, system::Deadline deadline) {
  const int events = sd_bus_get_events(bus);
  if (events < 0) return system::WaitEnd::failed;
  pollfd bus_fd{sd_bus_get_fd(bus), static_cast<short>(events), 0};
  uint64_t due_us = UINT64_MAX;  // CLOCK_MONOTONIC, as the steady clock
  sd_bus_get_timeout(bus, &due_us);
  const system::Deadline due =
      due_us == UINT64_MAX ? deadline : system::Deadline(std::chrono::microseconds(due_us));
  const system::WaitEnd end = system::wait_ready({&bus_fd, 1}, std::min(deadline, due));
  if (end == system::WaitEnd::timed_out && due < deadline) return system::WaitEnd::ready;
  return end;
}

int on_reply(sd_bus_message* message, void* reply, sd_bus_error*) {
  static_cast<Message*>(reply)->reset(sd_bus_message_ref(message));
  return 0;
}

}  // namespace

Message new_method_call(sd_bus* bus, const char* destination, const char* path,
                        const char* interface, const char* member) {
  sd_bus_message* message = nullptr;
  if (sd_bus_message_new_method_call(bus, &message, destination, path, interface, member) < 0)
    return nullptr;
  return Message(message);
}

Message call(sd_bus* bus, sd_bus_message* call, std::string& why_not, std::string* error_name) {
  const char* member = sd_bus_message_get_member(call);
  const std::string what = std::string(member ? member : "call") + ": ";
  Message reply;
  sd_bus_slot* slot = nullptr;
  const auto timeout = std::chrono::microseconds(system::kPeerAnswerTimeout);
  int result =
      sd_bus_call_async(bus, &slot, call, on_reply, &reply, static_cast<uint64_t>(timeout.count()));
  const Slot pending(slot);
  // sd-bus turns a reply that does not come in time into an error reply of its own; the
  // deadline is only a bound behind it.
  const system::Deadline deadline = system::deadline_after(2 * system::kPeerAnswerTimeout);
  while (result >= 0 && !reply) {
    result = sd_bus_process(bus, nullptr);
    if (result != 0) continue;  // more may be queued, or the bus failed
    switch (wait_for_bus(bus, deadline)) {
      case system::WaitEnd::ready:
        break;
      case system::WaitEnd::stopped:
        why_not = what + "stopped while waiting for the answer";
        return nullptr;
      case system::WaitEnd::timed_out:
        result = -ETIMEDOUT;
        break;
      case system::WaitEnd::failed:
        result = -errno;
        break;
    }
  }
  if (result < 0) {
    why_not = what + bus_error_text(nullptr, result);
    return nullptr;
  }
  if (const sd_bus_error* error = sd_bus_message_get_error(reply.get())) {
    why_not = what + bus_error_text(error, sd_bus_message_get_errno(reply.get()));
    if (error_name != nullptr && error->name != nullptr) *error_name = error->name;
    return nullptr;
  }
  return reply;
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
    const system::WaitEnd waited = wait_for_bus(bus_, deadline);
    if (waited == system::WaitEnd::stopped) {
      why_not = "stopped while waiting for " + member_;
      return nullptr;
    }
    if (waited == system::WaitEnd::failed) {
      why_not = "the session bus failed while waiting for " + member_ + " (" +
                bus_error_text(nullptr, -errno) + ")";
      return nullptr;
    }
  }
  slot_.reset();  // one signal is all this waits for
  return std::move(received_);
}

}  // namespace tapline::platform::dbus
