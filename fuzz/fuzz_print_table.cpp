// Lua tables as scripts hand them to print: built by a small driver from the fuzz input,
// with any keys and values, shared and cyclic references and deep nesting. Rendering
// must neither crash nor recurse without bound, and must leave the Lua stack as it was.
#include <cstdlib>
#include <cstring>
#include <lua.hpp>
#include <string>

#include "script/output.h"
#include "script/script_functions.h"

namespace {

constexpr int kMostValues = 400;

int nothing(lua_State*) { return 0; }

// Reads the input as a little program that builds values on the Lua stack.
class Builder {
 public:
  Builder(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  void build(lua_State* L) {
    while (pos_ < size_) {
      const uint8_t op = data_[pos_++];
      const int top = lua_gettop(L);
      // The Lua API does not check for room: every op that pushes stays within what
      // lua_checkstack granted (ops 6 and 8 only pop).
      if (top >= kMostValues && op % 10 != 6 && op % 10 != 8) continue;
      switch (op % 10) {
        case 0:
          lua_newtable(L);
          break;
        case 1:
          lua_pushinteger(L, static_cast<lua_Integer>(take64()));
          break;
        case 2: {
          const uint64_t bits = take64();
          double value;
          std::memcpy(&value, &bits, sizeof value);
          lua_pushnumber(L, value);  // NaN and infinities included
          break;
        }
        case 3: {
          const size_t length = pos_ < size_ ? data_[pos_++] : 0;
          const size_t n = length < size_ - pos_ ? length : size_ - pos_;
          lua_pushlstring(L, reinterpret_cast<const char*>(data_ + pos_), n);
          pos_ += n;
          break;
        }
        case 4:
          lua_pushboolean(L, pos_ < size_ ? data_[pos_++] & 1 : 0);
          break;
        case 5:
          lua_pushcfunction(L, nothing);
          break;
        case 6:
          // t[k] = v with t, k, v the three top values; a nil or NaN key cannot be stored.
          if (top >= 3 && lua_type(L, -3) == LUA_TTABLE && !lua_isnil(L, -2) &&
              !(lua_type(L, -2) == LUA_TNUMBER && lua_tonumber(L, -2) != lua_tonumber(L, -2))) {
            lua_rawset(L, -3);
          }
          break;
        case 7:
          // A second reference to a value lower down: shared tables and cycles.
          if (top > 0 && pos_ < size_) lua_pushvalue(L, 1 + data_[pos_++] % top);
          break;
        case 8:
          if (top > 0) lua_pop(L, 1);
          break;
        default:
          // Nests the top value into a fresh table, many levels at once.
          if (top > 0 && pos_ < size_) {
            const int levels = 1 + data_[pos_++] * 4;
            for (int i = 0; i < levels; ++i) {
              lua_createtable(L, 1, 0);
              lua_insert(L, -2);
              lua_rawseti(L, -2, 1);
            }
          }
          break;
      }
    }
  }

 private:
  uint64_t take64() {
    uint64_t value = 0;
    for (int i = 0; i < 8 && pos_ < size_; ++i) value |= uint64_t{data_[pos_++]} << (8 * i);
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) return 0;
  lua_checkstack(L, kMostValues + 20);
  Builder(data, size).build(L);
  const int top = lua_gettop(L);
  for (int i = 1; i <= top; ++i) {
    std::string text;
    tapline::script::format_table_text(L, i, text);
    if (lua_gettop(L) != top) std::abort();  // the rendering must leave the stack alone
    if ((lua_type(L, i) == LUA_TTABLE) == text.empty()) std::abort();
  }
  // print itself, on every value at once, as a script's call would.
  lua_pushcfunction(L, tapline::script::print);
  lua_insert(L, 1);
  if (lua_pcall(L, top, 0, 0) != LUA_OK) std::abort();  // print raises no error
  lua_close(L);
  return 0;
}
