// What a compiled chunk does with global variables: which globals it calls (with how
// many arguments) and which it assigns, read from the chunk's bytecode.
#pragma once

#include <functional>
#include <lua.hpp>
#include <string_view>

namespace tapline {

struct GlobalUse {
  enum Kind { kCall, kAssign };
  Kind kind;
  std::string_view name;  // valid only while the use is being handed over
  int line;               // 0 when the chunk carries no line information
  int argument_count;     // calls only; -1 when the last argument may give any number of values
};

// The engine's compiler nests functions at most about 200 deep (its limit on nested
// syntax levels), so no chunk compiled from source is deeper than this. A precompiled
// chunk may claim any depth, and both this reader and the engine's own loader go one
// level deeper on the machine stack for each.
inline constexpr int kMostNestedFunctions = 200;

enum class ChunkReading {
  read,
  other_format,  // not the precompiled form of this engine version on this machine
  damaged,       // cut short, or with parts this engine never writes
  too_deep,      // functions nested more than kMostNestedFunctions levels
};

using GlobalUseSink = std::function<void(const GlobalUse&)>;

// Reads `chunk`, in the engine's precompiled form (as lua_dump writes it), without
// loading it into the engine, and hands every use of a global by it and by the functions
// nested in it to `sink`, in no particular order. Uses handed over before a failure
// belong to a chunk that is not `read`.
ChunkReading read_global_uses(std::string_view chunk, const GlobalUseSink& sink);

// The same for the Lua function on top of the stack (a chunk freshly compiled from
// source); nothing of it runs, and it stays on the stack.
ChunkReading global_uses(lua_State* L, const GlobalUseSink& sink);

}  // namespace tapline
