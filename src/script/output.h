// Text renderings shared by the output functions.
#pragma once

#include <lua.hpp>
#include <string>

namespace tapline::script {

// Appends the rendering of the table at `index` ("{key=value,...}", nested tables inline)
// to `out`; appends nothing when the value is not a table. A table that is already being
// rendered (a cycle) and tables nested deeper than kMaxTableDepth render as "{...}".
void format_table_text(lua_State* L, int index, std::string& out);

inline constexpr int kMaxTableDepth = 64;

}  // namespace tapline::script
