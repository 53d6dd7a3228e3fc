// What a compiled chunk does with global variables: which globals it calls (with how
// many arguments) and which it assigns, read from the chunk's bytecode.
#pragma once

#include <lua.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tapline {

struct GlobalUse {
  enum Kind { kCall, kAssign };
  Kind kind;
  std::string name;
  int line;
  int argument_count;  // calls only; -1 when the last argument may give any number of values
};

// The uses of globals by the Lua function on top of the stack (a freshly loaded chunk)
// and every function nested in it, in bytecode order. Nothing of the chunk runs; the
// function stays on the stack. Empty when the bytecode is not in the form this engine
// version writes.
std::optional<std::vector<GlobalUse>> global_uses(lua_State* L);

}  // namespace tapline
