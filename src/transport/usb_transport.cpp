#include "transport/usb_transport.h"

#include <hidapi.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

#include "command/frame.h"
#include "platform/clock.h"
#include "platform/console.h"
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
    if (hid_init() != 0) console_eprintf("USB: the HID library could not be initialised\n");
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
    console_printf("VID:%x PID:%x Interface:%d\n", record->vendor_id, record->product_id,
                   record->interface_number);
    if (!is_candidate(*record, vendor_id, product_id)) continue;
    const char* record_path = record->path != nullptr ? record->path : "";
    if (serial_number == nullptr) {
      path = record_path;
      console_printf("found device,devpath:%s\n", path.c_str());
      break;
    }
    // A candidate with another serial number is passed over like any other record: the
    // requested device may still come later in the list.
    if (serial_matches(*record, serial_number)) {
      path = record_path;
      console_printf("found device, with sn:%s\n", path.c_str());
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
void note_write_outcome(int written) {
  if (written > 0) {
    if (lost_frames > 0)
      console_eprintf("tapline: the USB device takes frames again; %llu frame%s lost\n",
                      static_cast<unsigned long long>(lost_frames),
                      lost_frames == 1 ? " was" : "s were");
    lost_frames = 0;
    return;
  }
  if (lost_frames++ == 0)
    console_eprintf("tapline: a frame could not be written to the USB device and is lost\n");
  if (written < 0 && open_device != nullptr && !device_still_listed(open_device_path)) {
    console_eprintf("tapline: the USB device %s is gone; it is opened again when it returns\n",
                    open_device_path.c_str());
    close_hiddev();
  }
}

}  // namespace

bool usb_device_open() { return open_device != nullptr; }

void usb_frame_sink(const uint8_t* frame, int length) {
  note_write_outcome(hiddev_write(frame, length & 0xFF));
  platform::sleep_ms(kUsbFramePauseMs);
}

int hiddev_read_timeout(uint8_t* buffer, int length, int timeout_ms) {
  if (open_device == nullptr || buffer == nullptr) return -1;
  return hid_read_timeout(open_device, buffer, static_cast<size_t>(length & 0xFF), timeout_ms);
}

}  // namespace tapline

using namespace tapline;

extern "C" int open_hiddev(int vendor_id, int product_id, const wchar_t* serial_number) {
  const tapline::CommandLock lock;
  init_hidapi_once();
  const std::string path = find_device_path(vendor_id, product_id, serial_number);
  hid_device* const opened = path.empty() ? nullptr : hid_open_path(path.c_str());
  // The earlier handle is released rather than leaked; a read thread on it ends first so
  // that it is never closed under a running read.
  if (open_device != nullptr) {
    stop_usb_read_thread();
    hid_close(open_device);
  }
  open_device = opened;
  open_device_path = opened != nullptr ? path : std::string();
  if (opened == nullptr) {
    console_printf("usb open fail!\n");
    return -1;
  }
  set_send_cb(usb_frame_sink);
  return 1;
}

extern "C" int open_hiddev_default(void) {
  const int result = open_hiddev(kDefaultVendorId, kDefaultProductId, nullptr);
  if (result >= 0) return result;
  return open_hiddev(kSecondVendorId, kDefaultProductId, nullptr);
}

extern "C" int hiddev_write(const uint8_t* data, int length) {
  const tapline::CommandLock lock;
  const size_t n = data == nullptr ? 0 : std::min(length & 0xFF, kReportPayloadSize);
  std::array<uint8_t, kOutputReportSize> report{};  // report id 0, zero padding
  if (n > 0) std::memcpy(report.data() + 1, data, n);
  if (open_device == nullptr) {
    open_hiddev_default();
    platform::sleep_ms(kImplicitOpenPauseMs);
  }
  if (open_device == nullptr) return 0;
  return hid_write(open_device, report.data(), report.size());
}

extern "C" int hiddev_read(uint8_t* buffer, int length) {
  if (open_device == nullptr || buffer == nullptr) return -1;
  return hid_read(open_device, buffer, static_cast<size_t>(length & 0xFF));
}

extern "C" void close_hiddev(void) {
  const tapline::CommandLock lock;
  stop_usb_read_thread();
  if (open_device == nullptr) return;
  hid_close(open_device);
  open_device = nullptr;
}
