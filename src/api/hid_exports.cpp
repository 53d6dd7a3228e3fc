// The HID library's device access, exported under its own names with a leading "_" so
// that a host can reach the device without linking the library itself.
#include <hidapi.h>

#include "tapline.h"

extern "C" {

int _hid_init(void) { return hid_init(); }
int _hid_exit(void) { return hid_exit(); }
hid_device_info* _hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  return hid_enumerate(vendor_id, product_id);
}
void _hid_free_enumeration(hid_device_info* devices) { hid_free_enumeration(devices); }
hid_device* _hid_open(unsigned short vendor_id, unsigned short product_id,
                      const wchar_t* serial_number) {
  return hid_open(vendor_id, product_id, serial_number);
}
hid_device* _hid_open_path(const char* path) { return hid_open_path(path); }
int _hid_write(hid_device* device, const unsigned char* data, size_t length) {
  return hid_write(device, data, length);
}
int _hid_read_timeout(hid_device* device, unsigned char* data, size_t length, int milliseconds) {
  return hid_read_timeout(device, data, length, milliseconds);
}
int _hid_read(hid_device* device, unsigned char* data, size_t length) {
  return hid_read(device, data, length);
}
int _hid_set_nonblocking(hid_device* device, int nonblock) {
  return hid_set_nonblocking(device, nonblock);
}
int _hid_send_feature_report(hid_device* device, const unsigned char* data, size_t length) {
  return hid_send_feature_report(device, data, length);
}
int _hid_get_feature_report(hid_device* device, unsigned char* data, size_t length) {
  return hid_get_feature_report(device, data, length);
}
void _hid_close(hid_device* device) { hid_close(device); }
int _hid_get_manufacturer_string(hid_device* device, wchar_t* text, size_t max) {
  return hid_get_manufacturer_string(device, text, max);
}
int _hid_get_product_string(hid_device* device, wchar_t* text, size_t max) {
  return hid_get_product_string(device, text, max);
}
int _hid_get_serial_number_string(hid_device* device, wchar_t* text, size_t max) {
  return hid_get_serial_number_string(device, text, max);
}
int _hid_get_indexed_string(hid_device* device, int string_index, wchar_t* text, size_t max) {
  return hid_get_indexed_string(device, string_index, text, max);
}
const wchar_t* _hid_error(hid_device* device) { return hid_error(device); }

}  // extern "C"
