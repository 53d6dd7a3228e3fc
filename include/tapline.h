/*
 * Tapline: drive an input-emulation device (keyboard, mice, touch screen, joystick,
 * media and power keys) by HID reports wrapped in command frames, over USB HID or UDP.
 *
 * One public header for C and C++ hosts. Every argument is one 32-bit value; where a
 * comment says u8 or u16 only the low 8 or 16 bits count. Texts are zero-terminated
 * byte strings in the locale's character set. Commands block their caller for their
 * own delays and for the transport's pause after each frame.
 */
#ifndef TAPLINE_H
#define TAPLINE_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAPLINE_EXPORT __attribute__((visibility("default")))

/* ---- Command frame and send path ------------------------------------------------ */

/* Receives one command frame (header 0x2C, report length, checksum, type byte, report)
 * and its length in the low 8 bits. The frame lives only for the call. */
typedef void (*tapline_send_cb)(const uint8_t* frame, int length);

/* Report types: the low 5 bits of a frame's type byte. */
enum {
  TAPLINE_REPORT_KEYBOARD = 1,
  TAPLINE_REPORT_CONSUMER = 2,
  TAPLINE_REPORT_SYSTEM_CONTROL = 3,
  TAPLINE_REPORT_JOYSTICK = 4,
  TAPLINE_REPORT_MOUSE = 5,
  TAPLINE_REPORT_ABSOLUTE_MOUSE = 6,
  TAPLINE_REPORT_TOUCH = 7,
  TAPLINE_REPORT_DEVICE_COMMAND = 8
};

/* Builds the frame for a report (type u8, length u8) and hands it to the installed
 * SendCallback. 1 when a callback was called, 0 when none is installed or the report
 * is too long for a frame (252 bytes or more). */
TAPLINE_EXPORT int makeHid(int report_type, const uint8_t* report, int length);
/* Installs (or with NULL removes) the SendCallback; returns the value given. */
TAPLINE_EXPORT tapline_send_cb set_send_cb(tapline_send_cb callback);
/* Stores the output channel (low 8 bits; its low 2 bits reach the wire), tells the
 * host window, returns the stored value 0..255. */
TAPLINE_EXPORT int set_channel(int channel);

/* ---- Host-window messages ------------------------------------------------------- */

/* Message number of every text posted to the host. */
#define TAPLINE_HOST_MESSAGE 1124
/* The host "window": called on a delivery thread of the library, in posting order,
 * with (1124, 0, text). The text is a heap copy that the receiver owns and releases
 * with free(). */
typedef void (*tapline_host_window)(unsigned int message, uintptr_t wparam, char* text);
/* Stores the host window (NULL stops delivery); returns 0. */
TAPLINE_EXPORT int set_apphandle(tapline_host_window window);

/* ---- UDP transport -------------------------------------------------------------- */

/* Sets the destination (an empty address or a port <= 0 keeps the current value),
 * creates the socket and installs the UDP SendCallback. Non-zero when installed or
 * when the socket could not be made (see the printed line); an address longer than
 * 31 characters is refused with -1. */
TAPLINE_EXPORT int netcfg(const char* address, int port);
/* Sends one datagram to address:port (u16). 0 sent, -1 not sent. */
TAPLINE_EXPORT int udp_send(const char* address, int port, const uint8_t* data, int length);

#ifdef __cplusplus
}
#endif

#endif /* TAPLINE_H */
