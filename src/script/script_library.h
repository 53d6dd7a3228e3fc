// The script library: the ordered table of script globals and their registration.
#pragma once

#include <lua.hpp>
#include <span>
#include <string>
#include <vector>

namespace tapline::script {

// How a global is called, in the notation of Lua editor annotations. `params` lists
// "name type" pairs separated by ", "; a name ending in "?" is optional, "..." takes any
// number of values. A function called in several distinct ways lists each form,
// separated by "; ". `results` lists "type name" pairs the same way.
struct ScriptSignature {
  const char* params = nullptr;
  const char* results = nullptr;
  const char* summary = nullptr;
};

struct ScriptLibraryRow {
  const char* name;
  lua_CFunction function;
  // Empty for a row that registers a function of an earlier row under another name: that
  // row's signature applies.
  ScriptSignature signature;
};

// The rows PrintLuaExtFun lists, in registration order. A later row replaces an earlier
// global of the same name, and every row replaces a standard global of that name.
std::span<const ScriptLibraryRow> script_library();

// Every script global: the rows of script_library(), then those added after its list was
// fixed, which PrintLuaExtFun leaves out.
std::span<const ScriptLibraryRow> script_globals();

// Stores every global of script_globals() in the state, in table order.
void register_script_library(lua_State* L);

// The signature of a row, taken from the first row of the same function when the row
// has none of its own.
const ScriptSignature& signature_of(const ScriptLibraryRow& row);

// One way of calling a global: its parameters in order.
struct ScriptParam {
  std::string name;
  std::string type;
  bool optional = false;
  bool variadic = false;  // "...": any number of further values
};
using ScriptForm = std::vector<ScriptParam>;
std::vector<ScriptForm> call_forms(const ScriptSignature& signature);

// True when some form of the signature takes `count` arguments.
bool accepts_argument_count(const ScriptSignature& signature, int count);

}  // namespace tapline::script
