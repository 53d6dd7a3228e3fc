// Functions of a library loaded at run time (libcurl, the text engine), so that the program
// starts and runs without it.
#pragma once

#include <dlfcn.h>

namespace tapline::system {

// Sets `function` to the library's function of that name; nullptr where it has none.
template <typename Function>
void look_up(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
}

}  // namespace tapline::system
