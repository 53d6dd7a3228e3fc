// Script functions that read host key and time state, choose the device's output
// channel and pass text commands to the device.
#include <cstdint>
#include <cstring>

#include "command/keyboard.h"
#include "platform/key_state.h"
#include "script/args.h"
#include "script/script_functions.h"
#include "system/clock.h"
#include "system/console.h"
#include "tapline.h"

namespace tapline::script {
namespace {

constexpr int kVkCapsLock = 0x14;
constexpr int kWaitKeyPollMs = 10;
// The device reports no identifier of its own.
constexpr lua_Integer kDeviceId = 0;

// Names no key: the platform reports such a code as up and never held.
constexpr int kNoKey = -1;

// A key code given as a number. A value beyond the platform's 32-bit codes names no key,
// rather than wrapping onto one that exists.
int key_code_number(lua_State* L, int index) {
  const int64_t value = arg_number(L, index);
  return value < INT32_MIN || value > INT32_MAX ? kNoKey : static_cast<int>(value);
}

int key_code_argument(lua_State* L, int index) {
  if (lua_isnumber(L, index)) return key_code_number(L, index);
  if (lua_type(L, index) == LUA_TSTRING) return key_name_to_vk(lua_tostring(L, index));
  return 0;
}

}  // namespace

int GetTimeStamp(lua_State* L) {
  lua_pushinteger(L, static_cast<lua_Integer>(system::tick_ms()));
  return 1;
}

int GetKeyState(lua_State* L) {
  lua_pushinteger(L, platform::key_state().state(key_code_number(L, 1)));
  return 1;
}

int GetLED(lua_State* L) {
  // The whole truncated number counts: 2^32 is no lock index, not 0 after a cut.
  const int64_t index = arg_number(L, 1);
  const bool known = index >= 0 && index <= 2;
  lua_pushinteger(L, known ? platform::key_state().state(kVkCapsLock) : -1);
  return 1;
}

int WaitKey(lua_State* L) {
  const int code = key_code_argument(L, 1);
  const int64_t timeout = lua_gettop(L) > 1 ? arg_number(L, 2) : 0;
  platform::KeyStateSource& keys = platform::key_state();
  // A key that can never be held would make a wait without end hang the script.
  if (timeout <= 0 && !keys.can_be_held(code)) {
    system::console_diagnostic_from("WaitKey",
                                    "key %d cannot be read on this machine; not waiting\n", code);
    lua_pushinteger(L, 0);
    return 1;
  }
  int64_t waited = 0;
  for (;;) {
    if (keys.state(code) < 0) {
      lua_pushinteger(L, 1);
      return 1;
    }
    if (timeout > 0) {
      // The wait counts polls, not clock time, so a slow poll stretches it.
      waited += kWaitKeyPollMs;
      if (waited >= timeout) {
        lua_pushinteger(L, 0);
        return 1;
      }
    }
    system::sleep_ms(kWaitKeyPollMs);
  }
}

int GetDeviceID(lua_State* L) {
  lua_pushinteger(L, kDeviceId);
  return 1;
}

int set_channel(lua_State* L) {
  const char* text = arg_text(L, 1);
  char name[4] = {};
  // Only a name of exactly three characters can match; the text ends at its first zero.
  if (text != nullptr && std::strlen(text) == 3) {
    for (int i = 0; i < 3; ++i) {
      const char c = text[i];
      name[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
  }
  if (std::strcmp(name, "USB") == 0)
    ::set_channel(2);
  else if (std::strcmp(name, "BLE") == 0)
    ::set_channel(1);
  return 0;
}

int hid_cmd(lua_State* L) {
  const char* text = arg_text(L, 1);
  lua_pushinteger(L, quill5_cmd(text ? text : ""));
  return 1;
}

}  // namespace tapline::script
