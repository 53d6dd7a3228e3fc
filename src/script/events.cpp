#include "script/events.h"

#include <lua.hpp>
#include <memory>
#include <mutex>
#include <vector>

#include "command/host_message.h"
#include "platform/input_events.h"
#include "script/args.h"
#include "script/script_control.h"
#include "script/script_functions.h"
#include "system/clock.h"
#include "system/console.h"

namespace tapline::script {

EventQueue pin_change_queue;
EventQueue kb_event_queue;
EventQueue mouse_event_queue;

void EventQueue::push(int32_t entry) {
  std::lock_guard guard(lock_);
  if (entries_.size() < kMaxEntries) entries_.push_back(entry);
}

int32_t EventQueue::pop() {
  std::lock_guard guard(lock_);
  if (entries_.empty()) return 0;
  const int32_t entry = entries_.front();
  entries_.pop_front();
  return entry;
}

int32_t kb_event_entry(int virtual_key, bool down) {
  return static_cast<int32_t>(virtual_key << 16 | (down ? 1 : 0));
}

int32_t mouse_event_entry(int button, bool down) {
  return static_cast<int32_t>(button * 65536 + (down ? 1 : 0));
}

namespace {

void post_host_input(const platform::InputEvent& event, void*) {
  switch (event.kind) {
    case platform::InputKind::key_down:
    case platform::InputKind::key_up:
      kb_event_queue.push(kb_event_entry(event.code, event.kind == platform::InputKind::key_down));
      break;
    case platform::InputKind::button_down:
    case platform::InputKind::button_up:
      mouse_event_queue.push(
          mouse_event_entry(event.code, event.kind == platform::InputKind::button_down));
      break;
    case platform::InputKind::motion:
      break;
  }
}

// Defined after the queues, so destroyed before them: its thread ends before the queues
// it posts into go.
std::unique_ptr<platform::InputListener> host_input_listener;
std::once_flag host_input_started;

// The host's keys and buttons feed the queues from the first key or mouse registration on,
// for the rest of the process.
void listen_for_host_input() {
  std::call_once(host_input_started, [] {
    host_input_listener = platform::listen_to_host_input(post_host_input, nullptr);
  });
}

// Registry references of the registered callbacks; 0 or less means none. References are
// never released: an earlier callback stays referenced after a new registration.
int32_t pin_change_funid = 0;
int32_t kb_event_funid = 0;
int32_t mouse_event_funid = 0;

struct TimerRecord {
  int32_t funid;     // registry reference of the callback; also the timer's id
  int32_t interval;  // milliseconds between firings, compared as unsigned
  int32_t times;     // firings left; -1 fires without end
  int32_t valid;     // 1 while the timer may fire
  uint32_t start;    // tick count of the last firing, or of the start
};

// Visited by index only: a callback may start timers (growing the list) or run a nested
// Loop that empties it, so no reference into the list outlives a callback.
std::vector<TimerRecord> timer_list;

// Looks at the last argument; without arguments there is none (index -1 would then be
// outside the call's own stack).
int register_event(lua_State* L, int32_t& funid) {
  if (lua_gettop(L) == 0 || lua_type(L, -1) != LUA_TFUNCTION) {
    post_to_host("param #1 is not function\n");
    return 0;
  }
  funid = luaL_ref(L, LUA_REGISTRYINDEX);
  system::console_printf("funid:%d\n", funid);
  return 0;
}

int start_timer(lua_State* L, int32_t times) {
  if (lua_type(L, 1) != LUA_TFUNCTION) {
    lua_pushnil(L);
    system::console_printf("not fun\n");
    return 1;
  }
  const auto interval = static_cast<int32_t>(static_cast<uint32_t>(arg_integer(L, 2)));
  lua_pushvalue(L, 1);
  const int32_t funid = luaL_ref(L, LUA_REGISTRYINDEX);
  timer_list.push_back({funid, interval, times, 1, system::tick_ms()});
  system::console_printf("timer add:interval:%d\n", interval);
  lua_pushinteger(L, funid);
  return 1;
}

// Calls the callback with the `argc` values above it. False when it raised an error,
// which is then on top of the stack.
bool call_callback(lua_State* L, int argc) { return lua_pcall(L, argc, 0, 0) == LUA_OK; }

// One pop from `queue`; true unless the callback raised an error.
bool serve_queue(lua_State* L, EventQueue& queue, int32_t funid, int shift) {
  const int32_t entry = queue.pop();
  if (entry == 0 || funid <= 0) return true;
  lua_rawgeti(L, LUA_REGISTRYINDEX, funid);
  if (shift == 0) {
    lua_pushinteger(L, entry);
    return call_callback(L, 1);
  }
  lua_pushinteger(L, entry >> shift);
  lua_pushinteger(L, entry & ((1 << shift) - 1));
  return call_callback(L, 2);
}

// Fires every due timer; true unless a callback raised an error.
bool timer_pass(lua_State* L) {
  // The length is read at each step: timers started by a callback fire in this pass.
  for (size_t i = 0; i < timer_list.size(); ++i) {
    const uint32_t now = system::tick_ms();
    TimerRecord& timer = timer_list[i];
    // Unsigned difference: the wrap of the tick count is harmless.
    if (timer.valid == 0 || now - timer.start < static_cast<uint32_t>(timer.interval) ||
        timer.times == 0)
      continue;
    if (timer.times > 0 && --timer.times == 0) timer.valid = 0;
    timer.start = now;
    system::console_printf("funid:%d  times:%d  valid:%d  interval:%d  start:%u\n", timer.funid,
                           timer.times, timer.valid, timer.interval, now);
    lua_rawgeti(L, LUA_REGISTRYINDEX, timer.funid);
    if (!call_callback(L, 0)) return false;
  }
  return true;
}

}  // namespace

void clear_timer_list() { timer_list.clear(); }

void clear_event_registrations() {
  pin_change_funid = 0;
  kb_event_funid = 0;
  mouse_event_funid = 0;
}

int RegPinChange(lua_State* L) { return register_event(L, pin_change_funid); }
int RegKbEvent(lua_State* L) {
  register_event(L, kb_event_funid);
  if (kb_event_funid > 0) listen_for_host_input();
  return 0;
}

int RegMouseEvent(lua_State* L) {
  register_event(L, mouse_event_funid);
  if (mouse_event_funid > 0) listen_for_host_input();
  return 0;
}

int TimerStart(lua_State* L) { return start_timer(L, 1); }
int TimerLoopStart(lua_State* L) { return start_timer(L, -1); }

int TimerStop(lua_State* L) {
  const int64_t id = arg_integer(L, 1);
  for (TimerRecord& timer : timer_list) {
    if (timer.funid == id) {
      timer.valid = 0;
      break;
    }
  }
  return 0;
}

int Loop(lua_State* L) {
  for (;;) {
    // A callback's error leaves Loop at once, raised again with the same error object;
    // the timers and end_request stay as they are.
    if (!serve_queue(L, pin_change_queue, pin_change_funid, 8) ||
        !serve_queue(L, kb_event_queue, kb_event_funid, 16) ||
        !serve_queue(L, mouse_event_queue, mouse_event_funid, 0) || !timer_pass(L))
      return lua_error(L);
    if (end_request != 0) {
      end_request = 0;
      clear_timer_list();
      return 0;
    }
    system::sleep_ms(1);
  }
}

int Subscribe(lua_State*) { return 0; }
int Publish(lua_State*) { return 0; }

}  // namespace tapline::script
