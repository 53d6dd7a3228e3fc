// The USB HID transport: finds the device's command interface among the machine's HID
// interfaces, opens it, and writes every command frame to it as one 65-byte output report.
#pragma once

#include <cstdint>

#include "tapline.h"
#include "transport/transport_result.h"

namespace tapline {

// The two identities the device may present, tried in this order, and its one interface
// that takes command frames.
inline constexpr int kDefaultVendorId = 0x5131;
inline constexpr int kSecondVendorId = 0x5132;
inline constexpr int kDefaultProductId = 0x2019;
inline constexpr int kCommandInterface = 3;

// Output report: report id 0 and 64 payload bytes.
inline constexpr int kReportPayloadSize = 64;
inline constexpr int kOutputReportSize = kReportPayloadSize + 1;

inline constexpr int kUsbFramePauseMs = 10;
inline constexpr int kImplicitOpenPauseMs = 20;

// The SendCallback that a successful open installs: writes the frame, then pauses 10 ms.
void usb_frame_sink(const uint8_t* frame, int length);

bool usb_device_open();

// Opens the device's command interface (with this serial number unless nullptr) and
// installs usb_frame_sink: done, or failed when no such device could be opened.
TransportResult usb_open(int vendor_id, int product_id, const wchar_t* serial_number);
// The first identity, then the second.
TransportResult usb_open_default();

// Writes up to 64 bytes (length u8) as one output report, opening the default device
// first when none is open: done with the bytes written, nothing when no device could be
// opened, failed when the write failed.
TransportResult usb_write(const uint8_t* data, int length);

// A read that waits until a report comes (the handle's own blocking mode).
inline constexpr int kWaitForever = -1;
// Reads one input report of at most `length` (u8) bytes, waiting at most `timeout_ms`
// (or kWaitForever): done with the bytes read, nothing when none arrived in time, failed
// on a read failure or with no device open.
TransportResult usb_read(uint8_t* buffer, int length, int timeout_ms);

}  // namespace tapline
