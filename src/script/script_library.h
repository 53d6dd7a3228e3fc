// The script library: the ordered table of script globals and their registration.
#pragma once

#include <lua.hpp>
#include <span>

namespace tapline::script {

struct ScriptLibraryRow {
  const char* name;
  lua_CFunction function;
};

// The rows in registration order. A later row replaces an earlier global of the same
// name, and every row replaces a standard global of that name.
std::span<const ScriptLibraryRow> script_library();

// Stores every row as a global of the state, in table order.
void register_script_library(lua_State* L);

}  // namespace tapline::script
