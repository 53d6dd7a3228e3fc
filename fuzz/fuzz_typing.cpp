// Whole texts typed from scripts and text commands, in any bytes: invalid UTF-8, cut-off
// sequences, zero bytes. The conversions must neither crash nor loop, and every frame must
// be whole.
#include "fuzz_support.h"
#include "tapline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tapline::fuzzing::install_command_sink();
  if (size == 0) return 0;
  const std::string text = tapline::fuzzing::input_text(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      key_string(text.c_str());
      break;
    case 1:
      key_unicodestring(text.c_str());
      break;
    default:
      key_gbkstring(text.c_str());
      break;
  }
  return 0;
}
