// Every test program's main. Setting the clipboard starts the running program again as the
// clipboard's serving process, so a test program answers that mode first, as the console
// program does.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/clipboard.h"
#include "platform/clipboard_server.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], tapline::platform::kServeClipboardOption) == 0)
    return tapline::platform::serve_clipboard(argc - 2, argv + 2);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
