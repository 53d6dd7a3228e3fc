#include "transport/pin_reader.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "system/clock.h"
#include "system/console.h"

namespace tapline {
namespace {

// One pin event on its way to the main thread. It lives on the read thread's stack until
// the main thread marks it done.
struct Delivery {
  uint32_t pin_mask;
  uint32_t status_word;
  bool done = false;
};

// Installed and read on the main thread only.
tapline_pintrig_cb pintrig_callback = nullptr;
// Never destroyed at exit: a thread still running then must not meet a destroyed object.
TUsbReadThread* read_thread = nullptr;

// The hand-over between the read thread and the main thread. `changed` is signalled when
// a delivery is queued or done and when the read thread ends. Never destroyed, like the
// thread that uses it.
struct HandOver {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Delivery*> queued;
};
HandOver& hand_over = *new HandOver;

// The delivery whose callback runs at this moment on the main thread, so that a
// close from inside the callback can let the read thread go on to its end.
Delivery* delivery_in_callback = nullptr;

// Read thread: queues the event and waits until the main thread has dealt with it.
void deliver_on_main_thread(uint32_t pin_mask, uint32_t status_word) {
  Delivery delivery{pin_mask, status_word};
  std::unique_lock lock(hand_over.lock);
  hand_over.queued.push_back(&delivery);
  hand_over.changed.notify_all();
  hand_over.changed.wait(lock, [&] { return delivery.done; });
}

void mark_done(Delivery* delivery) {
  std::lock_guard lock(hand_over.lock);
  delivery->done = true;
  hand_over.changed.notify_all();
}

}  // namespace

TUsbReadThread::TUsbReadThread(ReportRead read, int report_size)
    : read_(read), report_size_(report_size), thread_([this] { run(); }) {}

TUsbReadThread::~TUsbReadThread() {
  request_stop();
  join();
}

void TUsbReadThread::join() {
  if (thread_.joinable()) thread_.join();
}

uint32_t TUsbReadThread::pin_mask_of(const uint8_t* report) {
  uint32_t mask = 0;
  for (int pin = 0; pin < kPinCount; ++pin)
    if (report[pin] != 0) mask |= 1u << pin;
  return mask;
}

uint32_t TUsbReadThread::status_word_of(const uint8_t* report) {
  return static_cast<uint32_t>(report[kStatusHighByte]) << 8 | report[kStatusLowByte];
}

void TUsbReadThread::run() {
  // Room for the status word even when the reports are shorter.
  std::vector<uint8_t> report(std::max(report_size_, kStatusLowByte + 1));
  while (!stop_requested_.load()) {
    // A short report leaves no bytes of the one before it behind.
    std::fill(report.begin(), report.end(), 0);
    const TransportResult got = read_(report.data(), report_size_, kReadPollMs);
    if (got.outcome == TransportResult::Outcome::failed) {
      system::console_printf("usb read error!\n");
      break;
    }
    if (!got.is_done()) continue;  // nothing arrived in time: look at the stop request again
    system::sleep_ms(kReportPauseMs);
    pin_mask = pin_mask_of(report.data());
    status_word = status_word_of(report.data());
    if (pin_mask == 0) continue;
    deliver_on_main_thread(pin_mask, status_word);
  }
  std::lock_guard lock(hand_over.lock);
  finished_.store(true);
  hand_over.changed.notify_all();
}

void set_pin_callback(tapline_pintrig_cb callback) { pintrig_callback = callback; }

void start_pin_reader(ReportRead read, int report_size) {
  if (pin_reader_running()) return;
  delete read_thread;  // one that ended after a read failure
  read_thread = new TUsbReadThread(read, report_size);
}

void stop_pin_reader() {
  if (read_thread == nullptr) return;
  read_thread->request_stop();
  // Called from inside a pin callback: the read thread waits for that very delivery,
  // which cannot finish before this returns, so let it go now.
  if (delivery_in_callback != nullptr) {
    mark_done(delivery_in_callback);
    delivery_in_callback = nullptr;
  }
  for (;;) {
    run_pending_calls();
    std::unique_lock lock(hand_over.lock);
    hand_over.changed.wait(lock,
                           [] { return !hand_over.queued.empty() || read_thread->finished(); });
    if (hand_over.queued.empty()) break;
  }
  delete read_thread;
  read_thread = nullptr;
}

bool pin_reader_running() { return read_thread != nullptr && !read_thread->finished(); }

bool pin_delivery_pending() {
  std::lock_guard lock(hand_over.lock);
  return !hand_over.queued.empty();
}

}  // namespace tapline

using namespace tapline;

extern "C" int run_pending_calls(void) {
  // Only what is pending now: a device that keeps sending must not hold the host's loop.
  size_t pending_now;
  {
    std::lock_guard lock(hand_over.lock);
    pending_now = hand_over.queued.size();
  }
  int ran = 0;
  for (; pending_now > 0; --pending_now) {
    Delivery* delivery;
    {
      std::lock_guard lock(hand_over.lock);
      if (hand_over.queued.empty()) break;
      delivery = hand_over.queued.front();
      hand_over.queued.pop_front();
    }
    Delivery* const outer = delivery_in_callback;
    delivery_in_callback = delivery;
    // The callback installed now is the one called; none installed means the event is
    // dealt with by doing nothing.
    if (pintrig_callback != nullptr)
      pintrig_callback(static_cast<int>(delivery->pin_mask),
                       static_cast<int>(delivery->status_word));
    // Still set unless the callback closed the device, which has released it already.
    if (delivery_in_callback != nullptr) mark_done(delivery);
    delivery_in_callback = outer;
    ++ran;
  }
  return ran;
}
