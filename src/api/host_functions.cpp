// Functions that exist only for host programs.
#include "system/message_box.h"
#include "system/text_codec.h"
#include "tapline.h"

extern "C" int dll_version(void) { return 100; }

// Lets a host check that it can call into the library.
extern "C" void test(void) {
  tapline::system::message_box("", tapline::system::utf8_to_locale("测试调用成功!!!").c_str());
}
