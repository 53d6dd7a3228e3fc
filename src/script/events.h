// Event queues, event registrations and timers that the script's Loop serves.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

namespace tapline::script {

// A locked first-in-first-out list of event entries. Any thread may push; the main thread
// pops. An entry of 0 means "no entry".
class EventQueue {
 public:
  // Entries a queue holds at most: a script that never runs Loop does not make the queues
  // grow without end; entries beyond this are dropped.
  static constexpr size_t kMaxEntries = 4096;

  void push(int32_t entry);
  // The oldest entry, removed; 0 when the queue is empty.
  int32_t pop();

 private:
  std::mutex lock_;
  std::deque<int32_t> entries_;
};

// Pin changes: the callback gets (entry >> 8, entry & 0xFF).
extern EventQueue pin_change_queue;
// Keyboard events: the callback gets (entry >> 16, entry & 0xFFFF). Host keys post their
// virtual-key code in the high half and 1 (press) or 0 (release) in the low half.
extern EventQueue kb_event_queue;
// Mouse events: the callback gets the entry. Host mouse buttons post button × 65536 +
// state: buttons 1 left, 2 middle, 3 right, 8 back, 9 forward with state 1 (press) or
// 0 (release); each wheel step is button 4 (up), 5 (down), 6 (left) or 7 (right) with
// state 1.
extern EventQueue mouse_event_queue;

// The entries a host key or mouse event posts.
int32_t kb_event_entry(int virtual_key, bool down);
int32_t mouse_event_entry(int button, bool down);

// Frees every timer of the run; run_script starts each run with an empty list.
void clear_timer_list();
// Forgets the registered event callbacks: their references belong to the state of an
// earlier run.
void clear_event_registrations();

}  // namespace tapline::script
