// Control of the hidapi test double: which HID interfaces the machine seems to have, what
// they send, and what was done to them. The double itself implements hidapi's C functions
// (hidapi.h); everything here is for tests only. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hidapi_double {

// One HID interface as hid_enumerate lists it.
struct DeviceRecord {
  std::string path;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  std::optional<std::wstring> serial_number;  // absent: the record carries none
  int interface_number = -1;                  // -1: the library cannot tell
  std::wstring manufacturer = L"";
  std::wstring product = L"";
  bool openable = true;  // false: hid_open_path fails although the record is listed
};

struct Write {
  std::string path;
  std::vector<uint8_t> bytes;
};

// Forgets records, recorded writes, failures and counters (except init_count). Handles still open
// stay valid until they are closed.
void reset();
// Replaces the listed interfaces; hid_enumerate returns them in this order.
void set_devices(std::vector<DeviceRecord> devices);

// Every hid_write that succeeded, in order.
std::vector<Write> writes();
// While set, hid_write fails with -1 (and records nothing), and reads fail with -1.
void fail_writes(bool fail);
void fail_reads(bool fail);

// Queues an input report on every handle open on `path`, waking a read waiting there.
// With no handle open the report is lost, as with a real device.
void feed_input(const std::string& path, std::vector<uint8_t> report);
// The device on `path` is gone: its record is no longer listed, and reads (waiting ones
// included) and writes on its handles fail with -1.
void unplug(const std::string& path);

// Every path opened successfully, in order.
std::vector<std::string> opened_paths();
int open_handle_count();
int close_count();
// hid_init calls since the process started.
int init_count();
int enumerate_count();
// Enumerations returned and not yet released with hid_free_enumeration.
int live_enumerations();
// hid_close calls made while a read on the same handle was still running.
int closes_during_read();
// The time-out of every read started, in order: -1 for one that waits without limit.
std::vector<int> read_timeouts();
// Waits until a read is waiting for input, or until `limit` has passed (a guard against a
// hanging test, not a measurement). True when a read is waiting.
bool wait_for_waiting_read(std::chrono::milliseconds limit);

}  // namespace hidapi_double
