#include "command/pointer.h"

#include "command/frame.h"
#include "platform/screen_source.h"
#include "system/clock.h"
#include "system/console.h"

namespace tapline {
namespace {

// Set while the host screen size is unknown and that has been said, so the notice comes
// once per absence rather than once per call.
bool told_no_screen = false;

int send_device_command(uint8_t command) {
  return send_fields(DeviceCommandFields{command, static_cast<uint8_t>(~command)});
}

// Pixels of the host screen to the device's 0..4095, in single precision as the device
// expects; positions beyond the screen are not clamped, only cut to 16 bits.
uint16_t scale_to_absolute(int coordinate, int extent) {
  const float factor = static_cast<float>(kPositionRange) / static_cast<float>(extent);
  const auto scaled = static_cast<int64_t>(static_cast<float>(coordinate) * factor);
  return static_cast<uint16_t>(scaled);
}

int click(uint8_t buttons) {
  const system::CommandLock lock;
  mouse(buttons, 0, 0, 0);
  return mouse_release();
}

}  // namespace

int release_consumer() {
  system::sleep_ms(kConsumerPauseMs);
  return send_fields(ConsumerFields{0});
}

}  // namespace tapline

using namespace tapline;

extern "C" {

void mouse(int buttons, int x, int y, int wheel) {
  const system::CommandLock lock;
  send_fields(MouseFields{static_cast<uint8_t>(buttons), static_cast<int8_t>(wheel),
                          static_cast<int8_t>(x), static_cast<int8_t>(y)});
  system::sleep_ms(kMousePauseMs);
}

int mouse_release(void) { return send_fields(MouseFields{}); }

int left_click(void) { return click(kMouseLeft); }
int right_click(void) { return click(kMouseRight); }
int middle_click(void) { return click(kMouseMiddle); }
int left_right_click(void) { return click(kMouseLeft | kMouseRight); }

int wheel(int n) {
  const system::CommandLock lock;
  mouse(0, 0, 0, n);
  return mouse_release();
}

int move(int x, int y) {
  const system::CommandLock lock;
  mouse(0, x, y, 0);
  return mouse_release();
}

int absmouse(int buttons, int x, int y, int wheel) {
  const system::CommandLock lock;
  const platform::ScreenSize screen = platform::screen().size();
  if (screen.width <= 0 || screen.height <= 0) {
    if (!told_no_screen) {
      system::console_diagnostic(
          "the host screen size is unknown, so absolute mouse positions cannot be "
          "scaled; nothing is sent\n");
      told_no_screen = true;
    }
    return 0;
  }
  told_no_screen = false;
  const uint16_t ax = scale_to_absolute(x, screen.width);
  const uint16_t ay = scale_to_absolute(y, screen.height);
  return send_fields(
      AbsoluteMouseFields{static_cast<uint8_t>(buttons), static_cast<int8_t>(wheel), ax, ay});
}

int absmouse_release(void) { return send_fields(AbsoluteMouseFields{}); }

int absmove(int x, int y) {
  return absmouse(0, static_cast<uint16_t>(x), static_cast<uint16_t>(y), 0);
}

int joy(int buttons, int, int, int, int) {
  const system::CommandLock lock;
  send_fields(JoystickFields{static_cast<uint16_t>(buttons)});
  system::sleep_ms(kJoystickPauseMs);
  return send_fields(JoystickFields{});
}

int consumer(int usage) {
  const system::CommandLock lock;
  send_fields(ConsumerFields{static_cast<uint16_t>(usage)});
  return release_consumer();
}

int vol_up(void) { return consumer(kUsageVolumeUp); }
int vol_down(void) { return consumer(kUsageVolumeDown); }
int android_home(void) { return consumer(kUsageHome); }
int android_menu(void) { return consumer(kUsageMenu); }
int android_back(void) { return consumer(kUsageBack); }

int power_down(void) { return send_fields(SystemControlFields{kSystemPowerDown}); }
int power_sleep(void) { return send_fields(SystemControlFields{kSystemSleep}); }

int dfu(void) { return send_device_command(kDeviceFirmwareUpdate); }
int reboot(void) { return send_device_command(kDeviceReboot); }

}  // extern "C"
