// The device read thread: reads the device's input reports, condenses each into a pin
// mask and a status word, and hands every report with an active pin to the host's
// callback on the main thread (the thread that pumps deliveries with run_pending_calls
// or closes the device). It is given the read it uses when made, so it knows nothing of
// the transport it reads from.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "tapline.h"
#include "transport/transport_result.h"

namespace tapline {

// Reads one input report of at most `length` bytes into buffer, waiting at most
// `timeout_ms`: done with the bytes read, nothing when none arrived in time, failed when
// the device cannot be read.
using ReportRead = TransportResult (*)(uint8_t* buffer, int length, int timeout_ms);

class TUsbReadThread {
 public:
  // Pause after every report read, before it is looked at.
  static constexpr int kReportPauseMs = 50;
  // Longest a single read waits, so that a stop request is seen without the device
  // having to send another report.
  static constexpr int kReadPollMs = 100;
  static constexpr int kPinCount = 10;
  static constexpr int kStatusHighByte = 34;
  static constexpr int kStatusLowByte = 35;

  // Starts reading reports of `report_size` bytes with `read` at once.
  TUsbReadThread(ReportRead read, int report_size);
  ~TUsbReadThread();
  TUsbReadThread(const TUsbReadThread&) = delete;
  TUsbReadThread& operator=(const TUsbReadThread&) = delete;

  // Bit i set when byte i (i = 0 to 9) of a 64-byte input report is non-zero.
  static uint32_t pin_mask_of(const uint8_t* report);
  // Byte 34 as the high and byte 35 as the low byte.
  static uint32_t status_word_of(const uint8_t* report);

  void request_stop() { stop_requested_.store(true); }
  bool finished() const { return finished_.load(); }
  void join();

 private:
  void run();

  const ReportRead read_;
  const int report_size_;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> finished_{false};
  // Rewritten after every report; used by the thread only.
  uint32_t pin_mask = 0;
  uint32_t status_word = 0;
  std::thread thread_;
};

// Installs (or with nullptr removes) the host's pin callback. Main thread only.
void set_pin_callback(tapline_pintrig_cb callback);

// Starts a read thread with this read unless one is running already. Main thread only.
void start_pin_reader(ReportRead read, int report_size);

// Asks the running read thread to stop and waits until it has ended, making any delivery
// it has pending meanwhile. Does nothing when no thread was started. Main thread only.
void stop_pin_reader();

// Whether a read thread has been started and has not ended yet.
bool pin_reader_running();
// Whether the read thread waits for the main thread to make a delivery.
bool pin_delivery_pending();

}  // namespace tapline
