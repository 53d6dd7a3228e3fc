// The command line of the console program: tapline <script> [<selector> [<address> <port>]]
#pragma once

namespace tapline {

// The USB transport as the command line uses it; the program passes the real device
// functions, tests pass their own.
struct UsbTransport {
  int (*open)();  // 1 or more opened, 0 or less not opened; negative ends the program
  void (*close)();
};

// Runs the whole command line: banner, argument checks, transport choice, the script
// run, the last line. Returns the process's exit status.
int run_command_line(int argc, char** argv, const UsbTransport& usb);

// True when `path` names something that exists and is not a directory.
bool script_file_exists(const char* path);
// True when the selector (argv[2]) asks for UDP: it contains "net" (case-sensitive).
bool selects_udp(int argc, char** argv);
// The port argument as a decimal number: leading blanks, a sign, digits up to the first
// non-digit, 0 without digits; values beyond 32 bits are clamped.
int port_argument(const char* text);

}  // namespace tapline
