// The hidapi test double: hidapi's C functions over a scripted list of HID interfaces.
#include "hidapi_double.h"

#include <hidapi.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

struct hid_device_ {
  std::string path;
  hidapi_double::DeviceRecord record;
  hid_device_info info{};
  std::deque<std::vector<uint8_t>> input;
  std::map<unsigned char, std::vector<uint8_t>> feature_reports;
  bool nonblocking = false;
  bool unplugged = false;
  bool closed = false;
  int reads_running = 0;
  int reads_waiting = 0;
  std::wstring error;
};

namespace hidapi_double {
namespace {

struct State {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<DeviceRecord> devices;
  std::set<hid_device*> handles;
  std::vector<Write> writes;
  std::vector<std::string> opened_paths;
  std::vector<int> read_timeouts;
  bool fail_writes = false;
  bool fail_reads = false;
  int close_count = 0;
  int init_count = 0;
  int enumerate_count = 0;
  int live_enumerations = 0;
  int closes_during_read = 0;
  std::wstring global_error;
};

// Never destroyed: a test's read thread may still use it while the process ends.
State& state = *new State;

wchar_t* copy_wide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
  std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// Fills `info` from `record` with heap copies of its texts; `free_info_texts` releases them.
void fill_info(hid_device_info& info, const DeviceRecord& record) {
  info.path = strdup(record.path.c_str());
  info.vendor_id = record.vendor_id;
  info.product_id = record.product_id;
  info.serial_number = record.serial_number ? copy_wide(*record.serial_number) : nullptr;
  info.manufacturer_string = copy_wide(record.manufacturer);
  info.product_string = copy_wide(record.product);
  info.interface_number = record.interface_number;
  info.bus_type = HID_API_BUS_USB;
  info.next = nullptr;
}

void free_info_texts(hid_device_info& info) {
  std::free(info.path);
  std::free(info.serial_number);
  std::free(info.manufacturer_string);
  std::free(info.product_string);
}

bool matches(const DeviceRecord& record, unsigned short vendor_id, unsigned short product_id) {
  return (vendor_id == 0 || record.vendor_id == vendor_id) &&
         (product_id == 0 || record.product_id == product_id);
}

hid_device* open_record(const DeviceRecord& record) {
  auto* device = new hid_device_;
  device->path = record.path;
  device->record = record;
  fill_info(device->info, record);
  state.handles.insert(device);
  state.opened_paths.push_back(record.path);
  return device;
}

void destroy(hid_device* device) {
  free_info_texts(device->info);
  delete device;
}

int copy_string(const std::wstring& text, wchar_t* out, size_t max_length) {
  if (out == nullptr || max_length == 0) return -1;
  const size_t n = std::min(text.size(), max_length - 1);
  std::wmemcpy(out, text.c_str(), n);
  out[n] = L'\0';
  return 0;
}

int fail(hid_device* device, const wchar_t* reason) {
  device->error = reason;
  return -1;
}

// hid_read: waits without limit unless the handle is non-blocking.
constexpr int kHandleMode = -2;

int read_report(hid_device* device, unsigned char* data, size_t length, int milliseconds) {
  std::unique_lock lock(state.lock);
  if (milliseconds == kHandleMode) milliseconds = device != nullptr && device->nonblocking ? 0 : -1;
  state.read_timeouts.push_back(milliseconds);
  if (device == nullptr || data == nullptr) return -1;
  ++device->reads_running;
  const auto ready = [&] {
    return !device->input.empty() || device->unplugged || device->closed || state.fail_reads;
  };
  if (!ready() && milliseconds != 0) {
    ++device->reads_waiting;
    state.changed.notify_all();
    if (milliseconds < 0)
      state.changed.wait(lock, ready);
    else
      state.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    --device->reads_waiting;
  }
  int result;
  if (device->unplugged || device->closed) {
    result = fail(device, L"device disconnected");
  } else if (state.fail_reads) {
    result = fail(device, L"read failed");
  } else if (device->input.empty()) {
    result = 0;
  } else {
    const std::vector<uint8_t> report = std::move(device->input.front());
    device->input.pop_front();
    const size_t n = std::min(length, report.size());
    if (n > 0) std::memcpy(data, report.data(), n);
    result = static_cast<int>(n);
  }
  --device->reads_running;
  const bool release = device->closed && device->reads_running == 0;
  state.changed.notify_all();
  if (release) destroy(device);
  return result;
}

}  // namespace

void reset() {
  std::lock_guard lock(state.lock);
  state.devices.clear();
  state.writes.clear();
  state.opened_paths.clear();
  state.read_timeouts.clear();
  state.fail_writes = false;
  state.fail_reads = false;
  state.close_count = 0;
  state.enumerate_count = 0;
  state.live_enumerations = 0;
  state.closes_during_read = 0;
}

void set_devices(std::vector<DeviceRecord> devices) {
  std::lock_guard lock(state.lock);
  state.devices = std::move(devices);
}

std::vector<Write> writes() {
  std::lock_guard lock(state.lock);
  return state.writes;
}

void fail_writes(bool fail) {
  std::lock_guard lock(state.lock);
  state.fail_writes = fail;
}

void fail_reads(bool fail) {
  std::lock_guard lock(state.lock);
  state.fail_reads = fail;
  state.changed.notify_all();
}

void feed_input(const std::string& path, std::vector<uint8_t> report) {
  std::lock_guard lock(state.lock);
  for (hid_device* device : state.handles)
    if (device->path == path && !device->unplugged) device->input.push_back(report);
  state.changed.notify_all();
}

void unplug(const std::string& path) {
  std::lock_guard lock(state.lock);
  std::erase_if(state.devices, [&](const DeviceRecord& record) { return record.path == path; });
  for (hid_device* device : state.handles)
    if (device->path == path) device->unplugged = true;
  state.changed.notify_all();
}

std::vector<std::string> opened_paths() {
  std::lock_guard lock(state.lock);
  return state.opened_paths;
}

int open_handle_count() {
  std::lock_guard lock(state.lock);
  return static_cast<int>(state.handles.size());
}

int close_count() {
  std::lock_guard lock(state.lock);
  return state.close_count;
}

int init_count() {
  std::lock_guard lock(state.lock);
  return state.init_count;
}

int enumerate_count() {
  std::lock_guard lock(state.lock);
  return state.enumerate_count;
}

int live_enumerations() {
  std::lock_guard lock(state.lock);
  return state.live_enumerations;
}

int closes_during_read() {
  std::lock_guard lock(state.lock);
  return state.closes_during_read;
}

std::vector<int> read_timeouts() {
  std::lock_guard lock(state.lock);
  return state.read_timeouts;
}

bool wait_for_waiting_read(std::chrono::milliseconds limit) {
  std::unique_lock lock(state.lock);
  return state.changed.wait_for(lock, limit, [] {
    return std::any_of(state.handles.begin(), state.handles.end(),
                       [](hid_device* device) { return device->reads_waiting > 0; });
  });
}

}  // namespace hidapi_double

using hidapi_double::state;

extern "C" {

int hid_init(void) {
  std::lock_guard lock(state.lock);
  ++state.init_count;
  return 0;
}

int hid_exit(void) { return 0; }

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  std::lock_guard lock(state.lock);
  ++state.enumerate_count;
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  for (const auto& record : state.devices) {
    if (!hidapi_double::matches(record, vendor_id, product_id)) continue;
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    hidapi_double::fill_info(*info, record);
    *tail = info;
    tail = &info->next;
  }
  // Like the library: no list at all when nothing matched.
  if (head != nullptr) ++state.live_enumerations;
  return head;
}

void hid_free_enumeration(hid_device_info* devices) {
  if (devices == nullptr) return;
  std::lock_guard lock(state.lock);
  --state.live_enumerations;
  while (devices != nullptr) {
    hid_device_info* next = devices->next;
    hidapi_double::free_info_texts(*devices);
    std::free(devices);
    devices = next;
  }
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                     const wchar_t* serial_number) {
  std::lock_guard lock(state.lock);
  for (const auto& record : state.devices) {
    if (!hidapi_double::matches(record, vendor_id, product_id) || !record.openable) continue;
    if (serial_number != nullptr &&
        (!record.serial_number || *record.serial_number != serial_number))
      continue;
    return hidapi_double::open_record(record);
  }
  state.global_error = L"no such device";
  return nullptr;
}

hid_device* hid_open_path(const char* path) {
  std::lock_guard lock(state.lock);
  if (path != nullptr && path[0] != '\0') {
    for (const auto& record : state.devices)
      if (record.path == path && record.openable) return hidapi_double::open_record(record);
  }
  state.global_error = L"cannot open the device";
  return nullptr;
}

int hid_write(hid_device* device, const unsigned char* data, size_t length) {
  std::lock_guard lock(state.lock);
  if (device == nullptr || data == nullptr) return -1;
  if (device->unplugged) return hidapi_double::fail(device, L"device disconnected");
  if (state.fail_writes) return hidapi_double::fail(device, L"write failed");
  state.writes.push_back({device->path, std::vector<uint8_t>(data, data + length)});
  return static_cast<int>(length);
}

int hid_read_timeout(hid_device* device, unsigned char* data, size_t length, int milliseconds) {
  return hidapi_double::read_report(device, data, length, milliseconds);
}

int hid_read(hid_device* device, unsigned char* data, size_t length) {
  return hidapi_double::read_report(device, data, length, hidapi_double::kHandleMode);
}

int hid_set_nonblocking(hid_device* device, int nonblock) {
  if (device == nullptr) return -1;
  std::lock_guard lock(state.lock);
  device->nonblocking = nonblock != 0;
  return 0;
}

int hid_send_feature_report(hid_device* device, const unsigned char* data, size_t length) {
  if (device == nullptr || data == nullptr || length == 0) return -1;
  std::lock_guard lock(state.lock);
  if (device->unplugged) return hidapi_double::fail(device, L"device disconnected");
  device->feature_reports[data[0]].assign(data, data + length);
  return static_cast<int>(length);
}

int hid_get_feature_report(hid_device* device, unsigned char* data, size_t length) {
  if (device == nullptr || data == nullptr || length == 0) return -1;
  std::lock_guard lock(state.lock);
  const auto found = device->feature_reports.find(data[0]);
  if (found == device->feature_reports.end())
    return hidapi_double::fail(device, L"no such feature report");
  const size_t n = std::min(length, found->second.size());
  std::memcpy(data, found->second.data(), n);
  return static_cast<int>(n);
}

int hid_get_input_report(hid_device* device, unsigned char* data, size_t length) {
  if (device == nullptr || data == nullptr || length == 0) return -1;
  std::lock_guard lock(state.lock);
  if (device->input.empty()) return hidapi_double::fail(device, L"no input report");
  const std::vector<uint8_t>& report = device->input.front();
  const size_t n = std::min(length - 1, report.size());
  std::memcpy(data + 1, report.data(), n);
  return static_cast<int>(n + 1);
}

void hid_close(hid_device* device) {
  if (device == nullptr) return;
  std::unique_lock lock(state.lock);
  ++state.close_count;
  state.handles.erase(device);
  if (device->reads_running > 0) {
    // A real library would free the handle under the read; here the read ends with -1
    // and the handle is released after it.
    ++state.closes_during_read;
    device->closed = true;
    state.changed.notify_all();
    return;
  }
  hidapi_double::destroy(device);
}

int hid_get_manufacturer_string(hid_device* device, wchar_t* string, size_t maxlen) {
  if (device == nullptr) return -1;
  std::lock_guard lock(state.lock);
  return hidapi_double::copy_string(device->record.manufacturer, string, maxlen);
}

int hid_get_product_string(hid_device* device, wchar_t* string, size_t maxlen) {
  if (device == nullptr) return -1;
  std::lock_guard lock(state.lock);
  return hidapi_double::copy_string(device->record.product, string, maxlen);
}

int hid_get_serial_number_string(hid_device* device, wchar_t* string, size_t maxlen) {
  if (device == nullptr) return -1;
  std::lock_guard lock(state.lock);
  if (!device->record.serial_number) return hidapi_double::fail(device, L"no serial number");
  return hidapi_double::copy_string(*device->record.serial_number, string, maxlen);
}

int hid_get_indexed_string(hid_device* device, int, wchar_t*, size_t) {
  if (device == nullptr) return -1;
  std::lock_guard lock(state.lock);
  return hidapi_double::fail(device, L"indexed strings are not supported");
}

hid_device_info* hid_get_device_info(hid_device* device) {
  return device != nullptr ? &device->info : nullptr;
}

const wchar_t* hid_error(hid_device* device) {
  std::lock_guard lock(state.lock);
  const std::wstring& error = device != nullptr ? device->error : state.global_error;
  return error.empty() ? L"Success" : error.c_str();
}

const hid_api_version* hid_version(void) {
  static const hid_api_version version{HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                       HID_API_VERSION_PATCH};
  return &version;
}

const char* hid_version_str(void) { return HID_API_VERSION_STR; }

}  // extern "C"
