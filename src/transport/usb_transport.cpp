#include "transport/usb_transport.h"

#include <hidapi.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

#include "system/clock.h"
#include "system/command_lock.h"
#include "system/console.h"
#include "transport/pin_reader.h"

namespace tapline {
namespace {

// The one open device. Written only by the thread that opens and closes, and only while
// no read thread is running, so the read thread never sees it change under a read.
hid_device* open_device = nullptr;
std::string open_device_path;

// Frames the sink could not deliver since the last one that went out; said once when the
// losses start and once, with their number, when frames go out again.
uint64_t lost_frames = 0;

void init_hidapi_once() {
  static std::once_flag done;
  std::call_once(done, [] {
    if (hid_init() != 0)
      system::console_diagnostic("the USB HID library could not be initialised\n");
  });
}

bool is_candidate(const hid_device_info& record, int vendor_id, int product_id) {
  return record.vendor_id == vendor_id && record.product_id == product_id &&
         record.interface_number == kCommandInterface;
}

bool serial_matches(const hid_device_info& record, const wchar_t* serial_number) {
  return record.serial_number != nullptr && std::wcscmp(record.serial_number, serial_number) == 0;
}

// Walks the enumeration and returns the chosen device's path, empty when none fits.
std::string find_device_path(int vendor_id, int product_id, const wchar_t* serial_number) {
  std::string path;
  hid_device_info* const records = hid_enumerate(static_cast<unsigned short>(vendor_id),
                                                 static_cast<unsigned short>(product_id));
  for (const hid_device_info* record = records; record != nullptr; record = record->next) {
    system::console_printf("VID:%x PID:%x Interface:%d\n", record->vendor_id, record->product_id,
                           record->interface_number);
    if (!is_candidate(*record, vendor_id, product_id)) continue;
    const char* record_path = record->path != nullptr ? record->path : "";
    if (serial_number == nullptr) {
      path = record_path;
      system::console_printf("found device,devpath:%s\n", path.c_str());
      break;
    }
    // A candidate with another serial number is passed over like any other record: the
    // requested device may still come later in the list.
    if (serial_matches(*record, serial_number)) {
      path = record_path;
      system::console_printf("found device, with sn:%s\n", path.c_str());
      break;
    }
  }
  hid_free_enumeration(records);
  return path;
}

bool device_still_listed(const std::string& path) {
  bool listed = false;
  hid_device_info* const records = hid_enumerate(0, 0);
  for (const hid_device_info* record = records; record != nullptr; record = record->next)
    listed = listed || (record->path != nullptr && path == record->path);
  hid_free_enumeration(records);
  return listed;
}

// A write that fails because the device was unplugged would fail for ever on the old
// handle; closing it lets the next frame open the device again once it is back.
void note_write_outcome(TransportResult written) {
  if (written.is_done()) {
    if (lost_frames > 0)
      system::console_diagnostic("the USB device takes frames again; %llu frame%s lost\n",
                                 static_cast<unsigned long long>(lost_frames),
                                 lost_frames == 1 ? " was" : "s were");
    lost_frames = 0;
    return;
  }
  if (lost_frames++ == 0)
    system::console_diagnostic("a frame could not be written to the USB device and is lost\n");
  if (written.outcome == TransportResult::Outcome::failed && open_device != nullptr &&
      !device_still_listed(open_device_path)) {
    system::console_diagnostic("the USB device %s is gone; it is opened again when it returns\n",
                               open_device_path.c_str());
    close_hiddev();
  }
}

}  // namespace

bool usb_device_open() { return open_device != nullptr; }

void usb_frame_sink(const uint8_t* frame, int length) {
  note_write_outcome(usb_write(frame, length & 0xFF));
  system::sleep_ms(kUsbFramePauseMs);
}

TransportResult usb_open(int vendor_id, int product_id, const wchar_t* serial_number) {
  init_hidapi_once();
  const std::string path = find_device_path(vendor_id, product_id, serial_number);
  hid_device* const opened = path.empty() ? nullptr : hid_open_path(path.c_str());
  // The earlier handle is released rather than leaked; a read thread on it ends first so
  // that it is never closed under a running read.
  if (open_device != nullptr) {
    stop_pin_reader();
    hid_close(open_device);
  }
  open_device = opened;
  open_device_path = opened != nullptr ? path : std::string();
  if (opened == nullptr) {
    system::console_printf("usb open fail!\n");
    return TransportResult::failed();
  }
  set_send_cb(usb_frame_sink);
  return TransportResult::done();
}

TransportResult usb_open_default() {
  const TransportResult result = usb_open(kDefaultVendorId, kDefaultProductId, nullptr);
  if (result.is_done()) return result;
  return usb_open(kSecondVendorId, kDefaultProductId, nullptr);
}

TransportResult usb_write(const uint8_t* data, int length) {
  const size_t n = data == nullptr ? 0 : std::min(length & 0xFF, kReportPayloadSize);
  std::array<uint8_t, kOutputReportSize> report{};  // report id 0, zero padding
  if (n > 0) std::memcpy(report.data() + 1, data, n);
  if (open_device == nullptr) {
    usb_open_default();
    system::sleep_ms(kImplicitOpenPauseMs);
  }
  if (open_device == nullptr) return TransportResult::nothing();
  const int written = hid_write(open_device, report.data(), report.size());
  return written < 0 ? TransportResult::failed() : TransportResult::done(written);
}

TransportResult usb_read(uint8_t* buffer, int length, int timeout_ms) {
  if (open_device == nullptr || buffer == nullptr) return TransportResult::failed();
  const auto size = static_cast<size_t>(length & 0xFF);
  const int got = timeout_ms == kWaitForever
                      ? hid_read(open_device, buffer, size)
                      : hid_read_timeout(open_device, buffer, size, timeout_ms);
  if (got < 0) return TransportResult::failed();
  return got == 0 ? TransportResult::nothing() : TransportResult::done(got);
}

}  // namespace tapline

// The exported interface: the transport's results as the fixed codes of tapline.h.
using namespace tapline;

extern "C" int open_hiddev(int vendor_id, int product_id, const wchar_t* serial_number) {
  const system::CommandLock lock;
  return status_code(usb_open(vendor_id, product_id, serial_number));
}

extern "C" int open_hiddev_default(void) {
  const system::CommandLock lock;
  return status_code(usb_open_default());
}

extern "C" int hiddev_write(const uint8_t* data, int length) {
  const system::CommandLock lock;
  return byte_count_code(usb_write(data, length));
}

extern "C" int hiddev_read(uint8_t* buffer, int length) {
  return byte_count_code(usb_read(buffer, length, kWaitForever));
}

extern "C" void close_hiddev(void) {
  const system::CommandLock lock;
  stop_pin_reader();
  if (open_device == nullptr) return;
  hid_close(open_device);
  open_device = nullptr;
}

extern "C" void set_pintrig_cb(tapline_pintrig_cb callback) {
  set_pin_callback(callback);
  if (usb_device_open()) start_pin_reader(usb_read, kReportPayloadSize);
}
