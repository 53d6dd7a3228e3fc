// Functions that exist only for host programs.
#include "tapline.h"

extern "C" int dll_version(void) { return 100; }
