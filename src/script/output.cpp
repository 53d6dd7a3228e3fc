#include "script/output.h"

#include <vector>

#include "command/host_message.h"
#include "script/args.h"
#include "script/script_functions.h"
#include "script/script_library.h"

namespace tapline::script {
namespace {

// A posted line holds at most 1023 characters (text, CR and LF): rendering beyond that
// would be cut anyway, so huge tables stop being walked once the line is full.
constexpr size_t kLineLimit = 1023;

// Text of a value that is not a table: "true"/"false", "function", or the engine's own
// conversion; nullptr for values without a text form. Converts a number in place.
const char* value_text(lua_State* L, int index) {
  switch (lua_type(L, index)) {
    case LUA_TBOOLEAN:
      return lua_toboolean(L, index) ? "true" : "false";
    case LUA_TFUNCTION:
      return "function";
    case LUA_TSTRING:
    case LUA_TNUMBER:
      return lua_tostring(L, index);
    default:
      return nullptr;
  }
}

// The tables on the path from the outermost one to the one being rendered.
using TablePath = std::vector<const void*>;

void render_table(lua_State* L, int index, std::string& out, TablePath& path) {
  const void* table = lua_topointer(L, index);
  bool on_path = false;
  for (const void* outer : path) on_path = on_path || outer == table;
  // Each level holds the table copy, a key, a value and the key's text copy.
  if (on_path || path.size() >= static_cast<size_t>(kMaxTableDepth) || !lua_checkstack(L, 4)) {
    out += "{...}";
    return;
  }
  path.push_back(table);
  out += '{';
  lua_pushvalue(L, index);
  const int copy = lua_gettop(L);
  lua_pushnil(L);
  while (lua_next(L, copy) != 0) {
    // Only a copy of the key becomes text: converting the key itself would derail lua_next.
    lua_pushvalue(L, -2);
    const char* key = lua_tostring(L, -1);
    if (lua_type(L, -2) == LUA_TTABLE) {
      if (key != nullptr) out += key;
      out += '=';
      render_table(L, lua_gettop(L) - 1, out, path);
    } else {
      const char* value = value_text(L, -2);
      out += key != nullptr ? key : "(null)";
      out += '=';
      out += value != nullptr ? value : "(null)";
    }
    out += ',';
    lua_pop(L, 2);
    if (out.size() >= kLineLimit) {
      lua_pop(L, 1);  // the key: the traversal ends here
      break;
    }
  }
  out += '}';
  lua_pop(L, 1);
  path.pop_back();
}

}  // namespace

void format_table_text(lua_State* L, int index, std::string& out) {
  if (lua_type(L, index) != LUA_TTABLE) return;
  TablePath path;
  render_table(L, lua_absindex(L, index), out, path);
}

int print(lua_State* L) {
  std::string line;
  const int count = lua_gettop(L);
  for (int i = 1; i <= count && line.size() < kLineLimit; ++i) {
    if (lua_type(L, i) == LUA_TTABLE) {
      format_table_text(L, i, line);
    } else if (const char* text = value_text(L, i)) {
      line += text;
    }
    line += '\t';
  }
  host_printf("%s\r\n", line.c_str());
  return 0;
}

int TracePrint(lua_State* L) {
  if (const char* text = arg_text(L, 1)) post_to_host(text);
  return 0;
}

int PrintLuaExtFun(lua_State* L) {
  std::string names;
  for (const ScriptLibraryRow& row : script_library()) {
    names += row.name;
    names += '\n';
  }
  lua_pushlstring(L, names.data(), names.size());
  return 1;
}

}  // namespace tapline::script
