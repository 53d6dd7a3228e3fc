// Text commands as a host or a script passes them to quill5_cmd: any bytes, any length.
// Every frame they cause must be well formed; nothing may crash, read out of bounds or
// wait (the clock is instant).
#include <cstdlib>

#include "fuzz_support.h"
#include "tapline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tapline::fuzzing::install_command_sink();
  const std::string text = tapline::fuzzing::input_text(data, size);
  const int result = quill5_cmd(text.c_str());
  if (result != 0 && result != 1) std::abort();
  return 0;
}
