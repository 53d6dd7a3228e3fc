// The console program: runs one script and sends its commands over USB or UDP.
#include <clocale>
#include <cstdio>

#include "host/command_line.h"
#include "host/host_sink.h"
#include "tapline.h"

int main(int argc, char** argv) {
  // Console text follows the locale's character set.
  std::setlocale(LC_ALL, "");
  // Each console line leaves at once, also into a pipe: the echo shows the script's
  // progress as it happens, and ctrl+c (which ends the process without flushing) loses
  // nothing already printed.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  const bool host_sink = tapline::install_host_sink_from_environment();
  const int status = tapline::run_command_line(argc, argv, {open_hiddev_default, close_hiddev});
  if (host_sink) tapline::flush_host_sink();
  return status;
}
