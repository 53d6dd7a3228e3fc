// The binding of a script function that only forwards its arguments to one command of
// the C interface: `call<::vol_up>` reads one argument per parameter of the command, by
// position, calls it, and gives the script no result. A script library row such as
// {"vol_up", call<::vol_up>} is then the whole binding.
#pragma once

#include <cstddef>
#include <lua.hpp>
#include <utility>

#include "script/args.h"

namespace tapline::script {
namespace forwarding {

// One argument as the command's parameter takes it: a number truncated toward zero and
// cut to 32 bits, or a text where an absent one reads as empty.
template <typename Parameter>
Parameter read(lua_State* L, int index);

template <>
inline int read<int>(lua_State* L, int index) {
  return arg_int32(L, index);
}

template <>
inline const char* read<const char*>(lua_State* L, int index) {
  const char* text = arg_text(L, index);
  return text != nullptr ? text : "";
}

template <typename Result, typename... Parameters, std::size_t... Positions>
void forward([[maybe_unused]] lua_State* L, Result (*command)(Parameters...),
             std::index_sequence<Positions...>) {
  command(read<Parameters>(L, static_cast<int>(Positions) + 1)...);
}

template <typename Result, typename... Parameters>
void forward(lua_State* L, Result (*command)(Parameters...)) {
  forward(L, command, std::index_sequence_for<Parameters...>{});
}

}  // namespace forwarding

template <auto Command>
int call(lua_State* L) {
  forwarding::forward(L, Command);
  return 0;
}

// A binding that reads no arguments and calls the command with fixed ones.
template <auto Command, auto... Arguments>
int call_with(lua_State*) {
  Command(Arguments...);
  return 0;
}

}  // namespace tapline::script
