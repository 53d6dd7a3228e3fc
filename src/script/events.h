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
  void push(int32_t entry);
  // The oldest entry, removed; 0 when the queue is empty.
  int32_t pop();

 private:
  std::mutex lock_;
  std::deque<int32_t> entries_;
};

// Pin changes: the callback gets (entry >> 8, entry & 0xFF).
extern EventQueue pin_change_queue;
// Keyboard events: the callback gets (entry >> 16, entry & 0xFFFF).
extern EventQueue kb_event_queue;
// Mouse events: the callback gets the entry.
extern EventQueue mouse_event_queue;

// Frees every timer of the run; run_script starts each run with an empty list.
void clear_timer_list();
// Forgets the registered event callbacks: their references belong to the state of an
// earlier run.
void clear_event_registrations();

}  // namespace tapline::script
