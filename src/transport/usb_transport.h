// The USB HID transport: finds the device's command interface among the machine's HID
// interfaces, opens it, and writes every command frame to it as one 65-byte output report.
#pragma once

#include <cstdint>

#include "tapline.h"

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

// Reads one input report from the open device, waiting at most `timeout_ms`. The bytes
// read, 0 when nothing arrived in time, -1 on a read failure or with no device open.
int hiddev_read_timeout(uint8_t* buffer, int length, int timeout_ms);

}  // namespace tapline
