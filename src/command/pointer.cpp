#include "command/pointer.h"

#include <array>

#include "command/frame.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/screen_source.h"

namespace tapline {
namespace {

using PointerReport = std::array<uint8_t, kPointerReportSize>;

// Set while the host screen size is unknown and that has been said, so the notice comes
// once per absence rather than once per call.
bool told_no_screen = false;

int send_pointer(ReportType type, const PointerReport& report) {
  return send_report(type, report.data(), report.size());
}

int send_device_command(uint8_t command) {
  std::array<uint8_t, kDeviceCommandReportSize> report{};
  report[0] = command;
  report[1] = static_cast<uint8_t>(~command);
  return send_report(ReportType::DeviceCommand, report.data(), report.size());
}

// Pixels of the host screen to the device's 0..4095, in single precision as the device
// expects; positions beyond the screen are not clamped, only cut to 16 bits.
uint16_t scale_to_absolute(int coordinate, int extent) {
  const float factor = static_cast<float>(kAbsoluteRange) / static_cast<float>(extent);
  const auto scaled = static_cast<int64_t>(static_cast<float>(coordinate) * factor);
  return static_cast<uint16_t>(scaled);
}

int click(uint8_t buttons) {
  const CommandLock lock;
  mouse(buttons, 0, 0, 0);
  return mouse_release();
}

}  // namespace

int send_consumer_report(uint16_t value) {
  PointerReport report{};
  report[0] = static_cast<uint8_t>(value);
  report[1] = static_cast<uint8_t>(value >> 8);
  return send_pointer(ReportType::Consumer, report);
}

int send_system_control(uint8_t request) {
  PointerReport report{};
  report[0] = request;
  return send_pointer(ReportType::SystemControl, report);
}

}  // namespace tapline

using namespace tapline;

extern "C" {

void mouse(int buttons, int x, int y, int wheel) {
  const CommandLock lock;
  const PointerReport report{static_cast<uint8_t>(buttons), static_cast<uint8_t>(wheel),
                             static_cast<uint8_t>(x), static_cast<uint8_t>(y)};
  send_pointer(ReportType::Mouse, report);
  platform::sleep_ms(kMousePauseMs);
}

int mouse_release(void) { return send_pointer(ReportType::Mouse, PointerReport{}); }

int left_click(void) { return click(kMouseLeft); }
int right_click(void) { return click(kMouseRight); }
int middle_click(void) { return click(kMouseMiddle); }
int left_right_click(void) { return click(kMouseLeft | kMouseRight); }

int wheel(int n) {
  const CommandLock lock;
  mouse(0, 0, 0, n);
  return mouse_release();
}

int move(int x, int y) {
  const CommandLock lock;
  mouse(0, x, y, 0);
  return mouse_release();
}

int absmouse(int buttons, int x, int y, int wheel) {
  const CommandLock lock;
  const platform::ScreenSize screen = platform::screen().size();
  if (screen.width <= 0 || screen.height <= 0) {
    if (!told_no_screen) {
      console_diagnostic(
          "the host screen size is unknown, so absolute mouse positions cannot be "
          "scaled; nothing is sent\n");
      told_no_screen = true;
    }
    return 0;
  }
  told_no_screen = false;
  const uint16_t ax = scale_to_absolute(x, screen.width);
  const uint16_t ay = scale_to_absolute(y, screen.height);
  const PointerReport report{static_cast<uint8_t>(buttons), static_cast<uint8_t>(wheel),
                             static_cast<uint8_t>(ax),      static_cast<uint8_t>(ax >> 8),
                             static_cast<uint8_t>(ay),      static_cast<uint8_t>(ay >> 8)};
  return send_pointer(ReportType::AbsoluteMouse, report);
}

int absmouse_release(void) { return send_pointer(ReportType::AbsoluteMouse, PointerReport{}); }

int absmove(int x, int y) {
  return absmouse(0, static_cast<uint16_t>(x), static_cast<uint16_t>(y), 0);
}

int joy(int buttons, int, int, int, int) {
  const CommandLock lock;
  PointerReport report{};
  report[0] = static_cast<uint8_t>(buttons);
  report[1] = static_cast<uint8_t>(buttons >> 8);
  send_pointer(ReportType::Joystick, report);
  platform::sleep_ms(kJoystickPauseMs);
  return send_pointer(ReportType::Joystick, PointerReport{});
}

int consumer(int usage) {
  const CommandLock lock;
  send_consumer_report(static_cast<uint16_t>(usage));
  platform::sleep_ms(kConsumerPauseMs);
  return send_consumer_report(0);
}

int vol_up(void) { return consumer(kUsageVolumeUp); }
int vol_down(void) { return consumer(kUsageVolumeDown); }
int android_home(void) { return consumer(kUsageHome); }
int android_menu(void) { return consumer(kUsageMenu); }
int android_back(void) { return consumer(kUsageBack); }

int power_down(void) { return send_system_control(kSystemPowerDown); }
int power_sleep(void) { return send_system_control(kSystemSleep); }

int dfu(void) { return send_device_command(0xF3); }
int reboot(void) { return send_device_command(0xF1); }

}  // extern "C"
