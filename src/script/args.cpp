#include "script/args.h"

#include <cmath>

namespace tapline::script {

int64_t arg_number(lua_State* L, int index) {
  int is_number = 0;
  const lua_Number value = lua_tonumberx(L, index, &is_number);
  if (!is_number || std::isnan(value)) return 0;
  if (value >= 9223372036854775807.0) return INT64_MAX;
  if (value <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(value);  // conversion truncates toward zero
}

int64_t arg_integer(lua_State* L, int index) {
  int is_integer = 0;
  const lua_Integer value = lua_tointegerx(L, index, &is_integer);
  return is_integer ? static_cast<int64_t>(value) : 0;
}

int32_t arg_int32(lua_State* L, int index) {
  return static_cast<int32_t>(static_cast<uint64_t>(arg_number(L, index)));
}

const char* arg_text(lua_State* L, int index, size_t* length) {
  const int type = lua_type(L, index);
  if (type != LUA_TSTRING && type != LUA_TNUMBER) {
    if (length) *length = 0;
    return nullptr;
  }
  return lua_tolstring(L, index, length);
}

}  // namespace tapline::script
