#include "host/run/command_line.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/run/run_script.h"
#include "system/clock.h"
#include "system/console.h"
#include "tapline.h"

namespace tapline {
namespace {

constexpr int kMissingFilePauseMs = 2000;
constexpr const char* kBroadcastAddress = "255.255.255.255";
constexpr int kDefaultPort = 9000;

}  // namespace

bool script_file_exists(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

bool selects_udp(int argc, char** argv) {
  return argc >= 3 && std::strstr(argv[2], "net") != nullptr;
}

int port_argument(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int run_command_line(int argc, char** argv, const UsbTransport& usb) {
  system::console_printf("Sep 27 2022\n");
  // A start without even the program's own name (argc 0) has no script path either.
  if (argc <= 1) {
    system::console_printf("用法: %s xxx.lua\n",
                           argc == 1 && argv[0] != nullptr ? argv[0] : "tapline");
    system::console_printf("ctrl+c结束运行 按键盘上的PAUSE暂停再按任意键恢复执行\n");
    std::fflush(stdout);
    std::getchar();
    return -1;
  }
  if (!script_file_exists(argv[1])) {
    system::console_printf("脚本文件不存在请确认路径:%s\n", argv[1]);
    std::fflush(stdout);
    system::sleep_ms(kMissingFilePauseMs);
    return -1;
  }

  const bool use_usb = !selects_udp(argc, argv);
  if (use_usb) {
    const int opened = usb.open();
    if (opened >= 1) {
      system::console_printf("USB打开成功\n");
    } else {
      system::console_printf("USB打开失败\n");
    }
    if (opened < 0) return opened;
  } else {
    system::console_printf("使用UDP通信\n");
    // An address without a port is ignored: both defaults apply. An address that names no
    // IPv4 host ends the run before the script, as an unopened USB device does (netcfg
    // says why): falling back to the broadcast address would send to the whole network.
    const int configured = argc >= 5 ? netcfg(argv[3], port_argument(argv[4]))
                                     : netcfg(kBroadcastAddress, kDefaultPort);
    if (configured == -1) return -1;
  }

  run_script(argv[1]);

  if (use_usb) usb.close();
  system::console_printf("运行结束\n");
  return 0;
}

}  // namespace tapline
