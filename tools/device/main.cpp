// tapline-device: the software device. Receives command frames as UDP datagrams or, on a
// Linux USB gadget, from the gadget's command function; checks and decodes each one,
// prints what the hardware would do with it, and on a gadget or as uhid devices of this
// machine's kernel does it.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "gadget/gadget.h"
#include "hid/hid_reports.h"
#include "inject/desktop_injector.h"
#include "inject/x11_target.h"
#include "inputs/udp_receiver.h"
#include "platform/desktop.h"
#include "print/print_sinks.h"
#include "uhid/uhid_devices.h"
#ifdef TAPLINE_WITH_WAYLAND
#include "inject/kde/kde_target.h"
#include "inject/wayland/wayland_target.h"
#endif
#ifdef TAPLINE_WITH_GNOME
#include "inject/gnome/gnome_target.h"
#endif

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:9000";

// The desktops the device can drive: one row per injector, all behind InputTarget, so
// that the report handling is the same for each. --inject auto takes the first row whose
// session this is and that opens.
struct DesktopBackend {
  const char* name;
  bool (*in_session)();
  // `stop_fd` ends any wait for the desktop to take input.
  std::unique_ptr<tapline::device::InputTarget> (*open)(int stop_fd, std::string& error);
};

bool desktop_named(const char* name) {
  const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
  return desktops != nullptr && std::strstr(desktops, name) != nullptr;
}
bool wayland_session() { return tapline::platform::wayland_session(); }
bool gnome_session() { return wayland_session() && desktop_named("GNOME"); }
bool kde_session() { return wayland_session() && desktop_named("KDE"); }
bool x11_session() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0';
}

// "this build has no ... support": still a choice, so that asking for it (or --inject auto
// in its session) says why.
template <const char* kWhat>
std::unique_ptr<tapline::device::InputTarget> not_built(int, std::string& error) {
  error = std::string("this build has no ") + kWhat + " support";
  return nullptr;
}
[[maybe_unused]] constexpr char kWayland[] = "Wayland";
[[maybe_unused]] constexpr char kGnome[] = "GNOME";

constexpr DesktopBackend kDesktopBackends[] = {
#ifdef TAPLINE_WITH_GNOME
    {"gnome", gnome_session,
     [](int, std::string& error) -> std::unique_ptr<tapline::device::InputTarget> {
       return tapline::device::GnomeTarget::open(stderr, error);
     }},
#else
    {"gnome", gnome_session, not_built<kGnome>},
#endif
#ifdef TAPLINE_WITH_WAYLAND
    {"kde", kde_session,
     [](int, std::string& error) -> std::unique_ptr<tapline::device::InputTarget> {
       return tapline::device::KdeTarget::open(error);
     }},
    {"wayland", wayland_session,
     [](int stop_fd, std::string& error) -> std::unique_ptr<tapline::device::InputTarget> {
       return tapline::device::WaylandTarget::open(stop_fd, error);
     }},
#else
    {"kde", kde_session, not_built<kWayland>},
    {"wayland", wayland_session, not_built<kWayland>},
#endif
    {"x11", x11_session,
     [](int, std::string& error) -> std::unique_ptr<tapline::device::InputTarget> {
       return tapline::device::X11Target::open(nullptr, error);
     }},
};

// The injector --inject auto took, said after the address listened on.
const char* auto_choice = nullptr;

// The first injector of this session that opens; nullptr with every reason when none does.
std::unique_ptr<tapline::device::InputTarget> open_auto(int stop_fd, std::string& error) {
  std::string reasons;
  for (const DesktopBackend& backend : kDesktopBackends) {
    if (!backend.in_session()) continue;
    std::string why_not;
    if (auto target = backend.open(stop_fd, why_not)) {
      auto_choice = backend.name;
      return target;
    }
    reasons += std::string(reasons.empty() ? "" : "; ") + backend.name + ": " + why_not;
  }
  error = reasons.empty() ? "neither WAYLAND_DISPLAY nor DISPLAY names a desktop" : reasons;
  return nullptr;
}
constexpr DesktopBackend kAutoBackend{"auto", [] { return true; }, open_auto};

constexpr const char* kHelp =
    "Usage: tapline-device [--listen ADDR:PORT] [--allow ADDR[/PREFIX]]... [--allow-other-users]\n"
    "                      [--json] [--inject auto|x11|wayland|gnome|kde\n"
    "                      [--channel N]\n"
    "                      [--altcodes gbk|unicode|auto] [--release-after MS]]\n"
    "       tapline-device --gadget[=NAME] [--listen ADDR:PORT] [--allow ADDR[/PREFIX]]...\n"
    "                      [--channel N] [--json]\n"
    "       tapline-device --uhid [--listen ADDR:PORT] [--allow ADDR[/PREFIX]]... [--channel N]\n"
    "                      [--json]\n"
    "       tapline-device --report-descriptors\n"
    "\n"
    "The software device: receives command frames as UDP datagrams, checks each one\n"
    "(header, length, checksum, report type and report length), decodes its report and\n"
    "prints one line per datagram on standard output as it arrives.\n"
    "\n"
    "  --listen ADDR:PORT  where to listen (default 127.0.0.1:9000). Port 0 picks a free\n"
    "                      port. Frames sent to the broadcast address 255.255.255.255\n"
    "                      arrive only when listening on 0.0.0.0.\n"
    "  --allow ADDR[/PREFIX]\n"
    "                      take frames only from senders in this IPv4 network (a whole\n"
    "                      address without PREFIX); repeatable. Frames carry no proof of\n"
    "                      who sent them, so listening on any address other than a\n"
    "                      loopback one (127.x.x.x) needs at least one --allow.\n"
    "  --allow-other-users also take frames that come from this machine (a loopback\n"
    "                      address) from sockets of other users; by default only sockets\n"
    "                      of the user running the device are heard there\n"
    "  --json              one JSON object per line instead of text: arrival time in ms\n"
    "                      since the start, channel, type, report bytes in hex and the\n"
    "                      decoded fields\n"
    "  --inject auto       also do what the hardware does on its target computer, on this\n"
    "                      session's desktop: GNOME or KDE (XDG_CURRENT_DESKTOP) on\n"
    "                      Wayland, another Wayland desktop (WAYLAND_DISPLAY), else X11\n"
    "                      (DISPLAY);\n"
    "                      the first that can be driven, named on standard error\n"
    "                      (\"--inject auto: gnome\", after the address). Keys,\n"
    "                      mouse buttons, moves and wheel, the absolute mouse (0..4095\n"
    "                      across the screen), touch contact 0 (other contacts are shown\n"
    "                      only), media and browser keys. Power requests, the Power key\n"
    "                      and device commands are logged on standard error, never\n"
    "                      carried out.\n"
    "  --inject x11        the X11 desktop named by DISPLAY, through XTest (touch contact\n"
    "                      0 is the pointer with the left button). Keys with no keycode\n"
    "                      on the desktop borrow an unused keycode for a moment; the next\n"
    "                      device on the display gives back what a killed one borrowed.\n"
    "  --inject wayland    the Wayland desktop named by WAYLAND_DISPLAY, through the\n"
    "                      compositor's virtual keyboard and pointer (wlroots compositors\n"
    "                      such as sway)\n"
    "  --inject gnome      the GNOME desktop of the session bus, through mutter's remote\n"
    "                      desktop service (no dialog; GNOME Shell shows its screen-sharing\n"
    "                      indicator meanwhile, and stopping it there stops the input).\n"
    "                      Keys go by position, through the person's layout; characters\n"
    "                      typed as Alt codes that the layout lacks arrive only through\n"
    "                      our Shell extension (gnome-extensions enable\n"
    "                      tapline-windows@tapline.invalid), into text fields.\n"
    "  --inject kde        KDE Plasma (KWin on Wayland), through KWin's fake input,\n"
    "                      granted to the installed program by its .desktop file\n"
    "  --gadget[=NAME]     be the device on this machine's USB device port: take frames\n"
    "                      from the command function (interface 3) of the configfs USB\n"
    "                      gadget NAME (default tapline, made by scripts/gadget-setup) and\n"
    "                      present each report on the gadget's keyboard, pointer (mouse,\n"
    "                      absolute mouse, joystick) and touch (touch screen, consumer and\n"
    "                      system keys) functions to the computer it is plugged into.\n"
    "                      Device commands are logged on standard error, never carried\n"
    "                      out. UDP frames are taken too when --listen is given.\n"
    "  --uhid              be the device inside this machine: make its keyboard, pointer\n"
    "                      (mouse, absolute mouse, joystick) and touch (touch screen,\n"
    "                      consumer and system keys) as the kernel's own input devices\n"
    "                      through /dev/uhid, with the gadget's report descriptors, and\n"
    "                      give each report to the kernel as the hardware's. The lock\n"
    "                      lights the desktop or console sets are printed. Needs write\n"
    "                      access to /dev/uhid (root, or a group given it by a udev rule:\n"
    "                      its members can all type as a keyboard) and the uhid module.\n"
    "                      The devices go when the device stops, or is killed.\n"
    "  --report-descriptors\n"
    "                      print each HID function's name, report length, subclass,\n"
    "                      protocol and report descriptor (hexadecimal), one line each,\n"
    "                      as scripts/gadget-setup takes them\n"
    "  --channel N         the channel (0..3) whose frames drive the desktop, the gadget\n"
    "                      or the uhid devices\n"
    "                      (default 1, the channel the host starts on)\n"
    "  --altcodes MODE     how a character typed as left Alt plus five keypad digits is\n"
    "                      read: gbk (a GBK code: lead byte x 256 + trail byte, or a\n"
    "                      one-byte character x 256), unicode (a UTF-16 unit; surrogate\n"
    "                      pairs are joined) or auto (the default: GBK where the number is\n"
    "                      a GBK code, UTF-16 otherwise). auto cannot tell every UTF-16\n"
    "                      unit from a GBK code: units whose two bytes form a GBK code\n"
    "                      (much of U+8140..U+FEFE, such as U+9A6C) or that end in a zero\n"
    "                      byte below U+8000 (such as U+4E00) come out as the GBK\n"
    "                      character; use unicode for hosts that type UTF-16 units.\n"
    "                      Other digit counts are passed on as keys.\n"
    "  --release-after MS  release every key and button still held once no frame has\n"
    "                      come for MS milliseconds (default 0: held as long as the host\n"
    "                      holds them, as the hardware does)\n"
    "  --help              show this text\n"
    "\n"
    "The first line on standard error names the address listened on. Malformed datagrams\n"
    "get one line saying why and are counted. Frames from senders not allowed are dropped\n"
    "and counted; the first one gets a line on standard error. On Ctrl+C, SIGTERM, SIGHUP, "
    "SIGQUIT,\n"
    "SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU or SIGXFSZ the device prints a summary (frames,\n"
    "bad frames, frames by type, anything still held), releases on the desktop, the\n"
    "gadget or the uhid devices whatever it still holds there, removes the uhid devices\n"
    "and exits with 0.\n";

struct Options {
  std::string listen = kDefaultListen;
  bool listen_given = false;
  std::vector<tapline::device::AddressRange> allowed;  // --allow
  bool other_users_allowed = false;
  bool gadget = false;
  std::string gadget_name = "tapline";
  bool uhid = false;
  bool json = false;
  const DesktopBackend* desktop = nullptr;  // --inject
  bool injector_options_given = false;
  bool channel_given = false;
  tapline::device::InjectorOptions injector;
};

// A whole decimal number from `low` to `high`.
bool parse_number(const char* text, unsigned long low, unsigned long high, unsigned long& value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high;
}

// Returns false when the program should stop at once with `status`.
bool parse_options(int argc, char** argv, Options& options, int& status) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kHelp, stdout);
      status = 0;
      return false;
    }
    // Options that take a value: the next argument, or the text after '='.
    const auto value_of = [&](const char* name) -> const char* {
      const size_t length = std::strlen(name);
      if (std::strncmp(arg, name, length) != 0) return nullptr;
      if (arg[length] == '=') return arg + length + 1;
      if (arg[length] != '\0') return nullptr;
      if (i + 1 == argc) return "";
      return argv[++i];
    };
    const char* value = nullptr;
    unsigned long number = 0;
    if (std::strcmp(arg, "--json") == 0) {
      options.json = true;
    } else if (std::strcmp(arg, "--uhid") == 0) {
      options.uhid = true;
    } else if (std::strcmp(arg, "--report-descriptors") == 0) {
      tapline::device::write_report_descriptors(stdout);
      status = 0;
      return false;
    } else if (std::strcmp(arg, "--gadget") == 0 || std::strncmp(arg, "--gadget=", 9) == 0) {
      options.gadget = true;
      if (arg[8] == '=') options.gadget_name = arg + 9;
      if (options.gadget_name.empty() || options.gadget_name.find('/') != std::string::npos ||
          options.gadget_name[0] == '.') {
        std::fprintf(stderr, "tapline-device: --gadget takes a gadget name, not \"%s\"\n",
                     options.gadget_name.c_str());
        status = 2;
        return false;
      }
    } else if ((value = value_of("--inject")) != nullptr) {
      options.desktop = std::strcmp(value, kAutoBackend.name) == 0 ? &kAutoBackend : nullptr;
      for (const DesktopBackend& backend : kDesktopBackends)
        if (std::strcmp(value, backend.name) == 0) options.desktop = &backend;
      if (options.desktop == nullptr) {
        std::fprintf(stderr,
                     "tapline-device: --inject is auto, x11, wayland, gnome or kde, not \"%s\"\n",
                     value);
        status = 2;
        return false;
      }
    } else if ((value = value_of("--altcodes")) != nullptr) {
      options.injector_options_given = true;
      if (!tapline::device::parse_alt_code_reading(value, options.injector.alt_codes)) {
        std::fprintf(stderr, "tapline-device: --altcodes is gbk, unicode or auto, not \"%s\"\n",
                     value);
        status = 2;
        return false;
      }
    } else if ((value = value_of("--release-after")) != nullptr) {
      options.injector_options_given = true;
      if (!parse_number(value, 0, 86400000, number)) {
        std::fprintf(stderr, "tapline-device: --release-after needs milliseconds, not \"%s\"\n",
                     value);
        status = 2;
        return false;
      }
      options.injector.release_after_ms = static_cast<uint32_t>(number);
    } else if ((value = value_of("--channel")) != nullptr) {
      options.channel_given = true;
      if (!parse_number(value, 0, 3, number)) {
        std::fprintf(stderr, "tapline-device: --channel is 0, 1, 2 or 3, not \"%s\"\n", value);
        status = 2;
        return false;
      }
      options.injector.channel = static_cast<uint8_t>(number);
    } else if ((value = value_of("--allow")) != nullptr) {
      tapline::device::AddressRange range;
      std::string error;
      if (!tapline::device::parse_address_range(value, range, error)) {
        std::fprintf(stderr, "tapline-device: --allow: %s\n", error.c_str());
        status = 2;
        return false;
      }
      options.allowed.push_back(range);
    } else if (std::strcmp(arg, "--allow-other-users") == 0) {
      options.other_users_allowed = true;
    } else if (std::strcmp(arg, "--listen") == 0) {
      if (i + 1 == argc) {
        std::fprintf(stderr, "tapline-device: --listen needs ADDR:PORT\n");
        status = 2;
        return false;
      }
      options.listen = argv[++i];
      options.listen_given = true;
    } else if (std::strncmp(arg, "--listen=", 9) == 0) {
      options.listen = arg + 9;
      options.listen_given = true;
    } else {
      std::fprintf(stderr, "tapline-device: unknown argument \"%s\" (see --help)\n", arg);
      status = 2;
      return false;
    }
  }
  if (options.injector_options_given && options.desktop == nullptr) {
    std::fprintf(stderr, "tapline-device: --altcodes and --release-after need --inject\n");
    status = 2;
    return false;
  }
  // Each presents the frames to a computer; two would present them twice.
  if (int(options.desktop != nullptr) + int(options.gadget) + int(options.uhid) > 1) {
    std::fprintf(stderr, "tapline-device: --inject, --gadget and --uhid go one at a time\n");
    status = 2;
    return false;
  }
  if (options.channel_given && options.desktop == nullptr && !options.gadget && !options.uhid) {
    std::fprintf(stderr, "tapline-device: --channel needs --inject, --gadget or --uhid\n");
    status = 2;
    return false;
  }
  return true;
}

// Every catchable signal that would end the device is blocked and read from a
// descriptor, so the stop request is handled in the receive loop like any other event
// (the desktop gets its held keys and buttons back) and no handler runs at all.
int stop_signal_descriptor() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (const int signal :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ})
    sigaddset(&stop_signals, signal);
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) return -1;
  return signalfd(-1, &stop_signals, SFD_CLOEXEC);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tapline::device;
  Options options;
  int status = 0;
  if (!parse_options(argc, argv, options, status)) return status;

  sockaddr_in address{};
  std::string error;
  if (!parse_listen_address(options.listen.c_str(), address, error)) {
    std::fprintf(stderr, "tapline-device: --listen %s\n", error.c_str());
    return 2;
  }
  const bool listening = !options.gadget || options.listen_given;
  if (listening && !is_loopback(address.sin_addr) && options.allowed.empty()) {
    std::fprintf(stderr,
                 "tapline-device: frames carry no proof of who sent them: listening on %s lets "
                 "anyone who can reach it drive this device; name the senders to take frames "
                 "from with --allow ADDR[/PREFIX]\n",
                 format_address(address).c_str());
    return 2;
  }
  SenderCheck sender_check(options.allowed, options.other_users_allowed, geteuid(), stderr);
  const int stop_fd = stop_signal_descriptor();
  if (stop_fd < 0) {
    std::fprintf(stderr, "tapline-device: cannot watch for stop signals: %s\n",
                 std::strerror(errno));
    return 1;
  }
  // A reader that goes away must not end the device; its lines are simply lost.
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // The desktop before the socket: a device that cannot reach it never listens.
  std::unique_ptr<InputTarget> desktop;
  std::unique_ptr<DesktopInjector> injector;
  if (options.desktop != nullptr) {
    desktop = options.desktop->open(stop_fd, error);
    if (!desktop) {
      std::fprintf(stderr, "tapline-device: --inject %s: %s\n", options.desktop->name,
                   error.c_str());
      return 1;
    }
    injector = std::make_unique<DesktopInjector>(*desktop, options.injector, stderr);
  }

  std::unique_ptr<GadgetPresenter> gadget;
  GadgetCommandInput command_input;
  if (options.gadget) {
    std::array<std::string, kHidFunctionCount> nodes;
    if (!find_gadget_nodes(options.gadget_name.c_str(), nodes, error)) {
      std::fprintf(stderr, "tapline-device: %s\n", error.c_str());
      return 1;
    }
    gadget = std::make_unique<GadgetPresenter>(nodes, options.injector.channel, stderr);
    if (!gadget->ready(error) ||
        !command_input.open(nodes[static_cast<size_t>(HidFunction::Command)], error)) {
      std::fprintf(stderr, "tapline-device: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "gadget %s: command function %s\n", options.gadget_name.c_str(),
                 nodes[static_cast<size_t>(HidFunction::Command)].c_str());
  }

  // Like the desktop, the devices before the socket.
  std::unique_ptr<UhidDevices> uhid;
  if (options.uhid) {
    uhid = std::make_unique<UhidDevices>(options.injector.channel, stderr);
    if (!uhid->create(stop_fd, error)) {
      std::fprintf(stderr, "tapline-device: --uhid: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "uhid: keyboard, pointer and touch devices made\n");
  }

  UdpReceiver receiver;
  receiver.admit_only(sender_check);
  if (listening) {
    if (!receiver.open(address, error)) {
      std::fprintf(stderr, "tapline-device: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "listening on %s\n", format_address(receiver.bound_address()).c_str());
  }
  if (auto_choice != nullptr) std::fprintf(stderr, "--inject auto: %s\n", auto_choice);
  std::fflush(stderr);

  Device device;
  std::vector<FrameInput*> inputs;
  if (gadget) {
    device.add_sink(*gadget);
    inputs = {&command_input, gadget.get()};
  }
  if (uhid) {
    device.add_sink(*uhid);
    for (FrameInput* input : uhid->inputs()) inputs.push_back(input);
  }
  // The desktop first, so that printing never delays what the desktop receives.
  if (injector) device.add_sink(*injector);
  std::unique_ptr<FrameSink> printer;
  if (options.json)
    printer = std::make_unique<JsonSink>(stdout);
  else
    printer = std::make_unique<TextSink>(stdout);
  device.add_sink(*printer);

  const bool received_to_the_end = receiver.run(device, stop_fd, error, inputs);
  device.finish();
  sender_check.say_total();
  close(stop_fd);
  if (!received_to_the_end) {
    std::fprintf(stderr, "tapline-device: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
