// Reading script arguments the way every script function does: by position, never
// raising a Lua error.
#pragma once

#include <cstdint>
#include <lua.hpp>
#include <string_view>

namespace tapline::script {

// A number argument: a Lua number or numeric text, truncated toward zero; anything else
// (and NaN) is 0. Values beyond the 64-bit range are clamped, never undefined.
int64_t arg_number(lua_State* L, int index);
// An integer argument by the engine's exact conversion: a float with a fraction, or
// anything that is not an integer-valued number or numeric text, gives 0.
int64_t arg_integer(lua_State* L, int index);
// A number argument as the commands and platform calls take it: read as arg_number,
// then cut to 32 bits (wrapping, like every field narrower than its value).
int32_t arg_int32(lua_State* L, int index);
// A text argument: a string, or a number in its text form; nullptr when absent.
const char* arg_text(lua_State* L, int index, size_t* length = nullptr);

}  // namespace tapline::script
