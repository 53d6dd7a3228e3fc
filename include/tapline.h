/*
 * Tapline: drive an input-emulation device (keyboard, mice, touch screen, joystick,
 * media and power keys) by HID reports wrapped in command frames, over USB HID or UDP.
 *
 * One public header for C and C++ hosts. Every argument is one 32-bit value; where a
 * comment says u8 or u16 only the low 8 or 16 bits count. Texts are zero-terminated
 * byte strings in the locale's character set. Commands block their caller for their
 * own delays and for the transport's pause after each frame.
 *
 * Threads: every function may be called from several threads at once. The send path,
 * the SendCallback and output channel, the held keys, the touch area, the text
 * interpreter's state and the transports are guarded by one lock inside the library.
 * A command holds it from its first frame to its last (pauses included), so the frames
 * of one command always arrive together and another thread's command waits for it.
 * The SendCallback runs with the lock held and may call the library again on the same
 * thread. hiddev_read and the _hid_ functions take no lock: hidapi's own rules apply.
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

/* Builds the frame for a report (type u8, length 0..251) and hands it to the installed
 * SendCallback. 1 when a callback was called, 0 when none is installed, the report is
 * NULL, or the length is negative or too long for a frame (252 or more): then nothing
 * is sent. */
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

/* ---- Keyboard ------------------------------------------------------------------- */
/* Results marked "as makeHid" are the result of the last frame sent: 1 when a
 * SendCallback was installed, 0 otherwise. */

/* Sends an 8-byte keyboard report (modifiers, reserved, six usages). As makeHid. */
TAPLINE_EXPORT int kb(const uint8_t* report);
/* Sends the all-keys-up report. As makeHid. */
TAPLINE_EXPORT int kb_release(void);
/* Presses and releases one key by usage (u8). As makeHid. */
TAPLINE_EXPORT int key_hid(int usage);
/* Presses a key by name with modifier bits (u8); release (u8) non-zero lifts it after. */
TAPLINE_EXPORT void key(const char* name, int modifiers, int release);
/* Key by name, remembering held keys: action (u8) 0 press, 1 release, 2 press and
 * release; any other action sends nothing. */
TAPLINE_EXPORT void key_action(const char* name, int action);

/* ---- Text typing ---------------------------------------------------------------- */

/* Types ASCII text key by key; returns the length of the text in bytes. */
TAPLINE_EXPORT int key_string(const char* text);
/* Types any text by Alt codes of its UTF-16 units. */
TAPLINE_EXPORT void key_unicodestring(const char* text);
/* Types any text by Alt codes of its GBK (code page 936) bytes. */
TAPLINE_EXPORT void key_gbkstring(const char* text);

/* ---- Mouse, joystick, consumer and system --------------------------------------- */

/* One relative mouse report: buttons, x, y, wheel (u8 each), then a 2 ms pause. No
 * release follows: the buttons stay held until the next mouse report. */
TAPLINE_EXPORT void mouse(int buttons, int x, int y, int wheel);
TAPLINE_EXPORT int mouse_release(void);
TAPLINE_EXPORT int left_click(void);
TAPLINE_EXPORT int right_click(void);
TAPLINE_EXPORT int middle_click(void);
TAPLINE_EXPORT int left_right_click(void);
/* Wheel by n (u8). As makeHid. */
TAPLINE_EXPORT int wheel(int n);
/* Relative move by x, y (u8 each). As makeHid. */
TAPLINE_EXPORT int move(int x, int y);
/* Absolute mouse in host screen pixels, scaled to the device's 0..4095. As makeHid;
 * 0 and nothing sent while the host screen size is unknown. */
TAPLINE_EXPORT int absmouse(int buttons, int x, int y, int wheel);
TAPLINE_EXPORT int absmouse_release(void);
/* Absolute move to x, y (u16 each). As makeHid. */
TAPLINE_EXPORT int absmove(int x, int y);
/* Joystick buttons (u16); the four further arguments are not used. As makeHid. */
TAPLINE_EXPORT int joy(int buttons, int unused1, int unused2, int unused3, int unused4);
/* Consumer-control usage (u16), then its release. As makeHid. */
TAPLINE_EXPORT int consumer(int usage);
TAPLINE_EXPORT int vol_up(void);
TAPLINE_EXPORT int vol_down(void);
TAPLINE_EXPORT int android_home(void);
TAPLINE_EXPORT int android_menu(void);
TAPLINE_EXPORT int android_back(void);
TAPLINE_EXPORT int power_down(void);
TAPLINE_EXPORT int power_sleep(void);
/* Device commands: firmware update mode and restart. As makeHid. */
TAPLINE_EXPORT int dfu(void);
TAPLINE_EXPORT int reboot(void);

/* ---- Touch ---------------------------------------------------------------------- */

/* The target screen size in touch units (u16 each); 0 keeps the old size. */
TAPLINE_EXPORT void touch_set(int width, int height);
/* One touch report: state (u8), contact (u8), x, y (u16). As makeHid. */
TAPLINE_EXPORT int touch(int state, int contact, int x, int y);
TAPLINE_EXPORT int touch_release(int contact);
TAPLINE_EXPORT int touch_click(int x, int y);
TAPLINE_EXPORT int touch_longclick(int x, int y);
TAPLINE_EXPORT void touch_dbclick(int x, int y);
/* Slides from (x1, y1) to (x2, y2) with a delay (u16 each) between steps. */
TAPLINE_EXPORT void touch_slide(int x1, int y1, int x2, int y2, int delay);
TAPLINE_EXPORT int touch_slide_left(void);
TAPLINE_EXPORT int touch_slide_right(void);
TAPLINE_EXPORT int touch_slide_up(void);
TAPLINE_EXPORT int touch_slide_down(void);
TAPLINE_EXPORT int touch_zoom_in(void);
TAPLINE_EXPORT int touch_zoom_out(void);

/* ---- Text commands -------------------------------------------------------------- */

/* Runs one text command ("key:...", "mouse:...", ...). 1 accepted, 0 rejected. */
TAPLINE_EXPORT int quill5_cmd(const char* command);

/* ---- USB transport -------------------------------------------------------------- */

/* Opens the device under its built-in identities (vendor 0x5131, then 0x5132, product
 * 0x2019, interface 3) and installs the USB SendCallback. 1 opened, -1 not opened. */
TAPLINE_EXPORT int open_hiddev_default(void);
/* Opens interface 3 of the device with these ids (u16 each) and, unless NULL, this serial
 * number; installs the USB SendCallback. 1 opened, -1 not opened. A device opened before
 * is closed, and a pin read thread running on it ends (set_pintrig_cb starts a new one). */
TAPLINE_EXPORT int open_hiddev(int vendor_id, int product_id, const wchar_t* serial_number);
/* Ends the pin read thread, if any, then closes the device. */
TAPLINE_EXPORT void close_hiddev(void);
/* Writes data (length u8, at most 64 bytes used) as one 65-byte output report, opening
 * the default device first when none is open. The bytes written (65), -1 when the write
 * failed, 0 when no device could be opened. */
TAPLINE_EXPORT int hiddev_write(const uint8_t* data, int length);
/* Waits for one input report and copies at most length (u8) bytes of it into buffer.
 * The bytes delivered, or -1 on a read failure or with no device open. */
TAPLINE_EXPORT int hiddev_read(uint8_t* buffer, int length);

/* Told of every input report with an active trigger pin: bit i of pin_mask is pin i
 * (0 to 9), status_word is 0 to 65535. Called on the thread that calls
 * run_pending_calls or close_hiddev. */
typedef void (*tapline_pintrig_cb)(int pin_mask, int status_word);
/* Installs (or with NULL removes) the pin callback; with a device open, starts the read
 * thread unless it runs already. Open the device first. */
TAPLINE_EXPORT void set_pintrig_cb(tapline_pintrig_cb callback);
/* Makes the pin callback calls that the read thread has waiting; call it from the host's
 * main loop. Returns how many were made. */
TAPLINE_EXPORT int run_pending_calls(void);

/* ---- UDP transport -------------------------------------------------------------- */

/* Sets the destination (an empty address or a port <= 0 keeps the current value),
 * creates the socket and installs the UDP SendCallback. The address is dotted IPv4 text
 * or an IPv4 host name (looked up here, once); frames go to the broadcast address only
 * when it is 255.255.255.255 or was never set. Non-zero when installed or when the
 * socket could not be made (see the printed line); an address longer than 31
 * characters, or one that resolves to no IPv4 address, is refused with -1 and the
 * destination stays as it was. */
TAPLINE_EXPORT int netcfg(const char* address, int port);
/* Sends one datagram to address:port (u16); the address as for netcfg, looked up at
 * each call. 0 sent, -1 not sent. */
TAPLINE_EXPORT int udp_send(const char* address, int port, const uint8_t* data, int length);

/* ---- Host-only functions ------------------------------------------------------- */

/* The interface version: 100. */
TAPLINE_EXPORT int dll_version(void);
/* Shows the test message box (on the console) and returns when it is closed. */
TAPLINE_EXPORT void test(void);

/* ---- Device access of the HID library, under its own names with a leading "_" ----- */

struct hid_device_info;
typedef struct hid_device_ hid_device;

TAPLINE_EXPORT int _hid_init(void);
TAPLINE_EXPORT int _hid_exit(void);
TAPLINE_EXPORT struct hid_device_info* _hid_enumerate(unsigned short vendor_id,
                                                      unsigned short product_id);
TAPLINE_EXPORT void _hid_free_enumeration(struct hid_device_info* devices);
TAPLINE_EXPORT hid_device* _hid_open(unsigned short vendor_id, unsigned short product_id,
                                     const wchar_t* serial_number);
TAPLINE_EXPORT hid_device* _hid_open_path(const char* path);
TAPLINE_EXPORT int _hid_write(hid_device* device, const unsigned char* data, size_t length);
TAPLINE_EXPORT int _hid_read_timeout(hid_device* device, unsigned char* data, size_t length,
                                     int milliseconds);
TAPLINE_EXPORT int _hid_read(hid_device* device, unsigned char* data, size_t length);
TAPLINE_EXPORT int _hid_set_nonblocking(hid_device* device, int nonblock);
TAPLINE_EXPORT int _hid_send_feature_report(hid_device* device, const unsigned char* data,
                                            size_t length);
TAPLINE_EXPORT int _hid_get_feature_report(hid_device* device, unsigned char* data, size_t length);
TAPLINE_EXPORT void _hid_close(hid_device* device);
TAPLINE_EXPORT int _hid_get_manufacturer_string(hid_device* device, wchar_t* text, size_t max);
TAPLINE_EXPORT int _hid_get_product_string(hid_device* device, wchar_t* text, size_t max);
TAPLINE_EXPORT int _hid_get_serial_number_string(hid_device* device, wchar_t* text, size_t max);
TAPLINE_EXPORT int _hid_get_indexed_string(hid_device* device, int string_index, wchar_t* text,
                                           size_t max);
TAPLINE_EXPORT const wchar_t* _hid_error(hid_device* device);

#ifdef __cplusplus
}
#endif

#endif /* TAPLINE_H */
