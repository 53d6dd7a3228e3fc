#include "host/run/run_script.h"

#include <cstring>
#include <lua.hpp>

#include "command/held_inputs.h"
#include "script/events.h"
#include "script/script_control.h"
#include "script/script_library.h"
#include "system/console.h"
#include "system/message_box.h"
#include "system/stop_request.h"

namespace tapline {
namespace {

constexpr int kStackSlots = 2048;
constexpr const char* kAuthor = "Tapline developers";
// Scripts get neither bytecode dumps nor the debug library.
constexpr const char* kPrelude = "function string.dump()end\n debug={}";
// Instructions between two looks at a stop request while the script computes: often
// enough to stop within milliseconds, rare enough to cost nothing measurable.
constexpr int kStopCheckInstructions = 10000;

// printf(format, ...): string.format on all arguments, written through io.write. Both
// functions are the ones captured when the state was prepared.
int printf_closure(lua_State* L) {
  const int argc = lua_gettop(L);
  lua_pushvalue(L, lua_upvalueindex(2));
  lua_insert(L, 1);
  lua_call(L, argc, 1);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, -2);
  lua_call(L, 1, 0);
  return 0;
}

void define_printf(lua_State* L) {
  lua_getglobal(L, "io");
  lua_getfield(L, -1, "write");
  lua_remove(L, -2);
  lua_getglobal(L, "string");
  lua_getfield(L, -1, "format");
  lua_remove(L, -2);
  lua_pushcclosure(L, printf_closure, 2);
  lua_setglobal(L, "printf");
}

// The message handler of the script's protected call: the error with the traceback of
// where it was raised (the script's `debug` table is empty, so this is taken here).
int error_with_traceback(lua_State* L) {
  const char* message = lua_tostring(L, 1);
  if (message == nullptr) {
    message = luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING
                  ? lua_tostring(L, -1)
                  : lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
  }
  luaL_traceback(L, L, message, 1);
  return 1;
}

// Echoes every named call ("global:Delay") so that the console shows the script's
// progress; a console that holds its output therefore holds the script too. Every call
// and every few thousand instructions are also safe points for a stop request (SIGINT,
// SIGTERM), so that one reaches a script that never sleeps; the stop action ends the
// process from here, before the call is echoed.
void call_hook(lua_State* L, lua_Debug* ar) {
  system::check_stop();
  if (ar->event != LUA_HOOKCALL) return;
  lua_getinfo(L, "n", ar);
  if (ar->name == nullptr) return;  // calls from native code have no name
  // The error handler runs as if called where the error was raised and would borrow
  // that call's name: it is not a call of the script.
  lua_getinfo(L, "f", ar);
  const bool is_error_handler = lua_tocfunction(L, -1) == error_with_traceback;
  lua_pop(L, 1);
  if (is_error_handler) return;
  system::console_printf("%s:%s\n", ar->namewhat, ar->name);
  if (std::strstr(ar->name, "RestartScript") != nullptr) {
    system::console_printf("RestartScript");
  } else if (std::strstr(ar->name, "Pause") != nullptr) {
    system::console_printf("Pause");
  } else if (std::strstr(ar->name, "EndScript") != nullptr) {
    system::console_printf("EndScript");
  }
}

}  // namespace

lua_State* create_script_state() {
  lua_State* L = luaL_newstate();
  if (L == nullptr) return nullptr;
  lua_checkstack(L, kStackSlots);
  luaL_openlibs(L);
  define_printf(L);
  lua_pushstring(L, kAuthor);
  lua_setglobal(L, "author");
  lua_settop(L, 0);
  if (luaL_loadstring(L, kPrelude) == LUA_OK) lua_pcall(L, 0, LUA_MULTRET, 0);
  lua_settop(L, 0);
  // Every state starts from the initial script state, even where an earlier state of the
  // process left timers, registrations or an end request behind.
  script::end_request = 0;
  script::clear_event_registrations();
  script::clear_timer_list();
  script::register_script_library(L);
  return L;
}

void run_script(const char* path) {
  lua_State* L = create_script_state();
  if (L == nullptr) {
    system::console_diagnostic("out of memory: the script state could not be created\n");
    return;
  }
  system::console_printf("开始运行。。。");
  lua_sethook(L, call_hook, LUA_MASKCALL | LUA_MASKCOUNT, kStopCheckInstructions);
  lua_pushcfunction(L, error_with_traceback);
  if (luaL_loadfilex(L, path, nullptr) == LUA_OK) {
    if (lua_pcall(L, 0, 0, 1) != LUA_OK) {
      // The script stopped where it was, possibly between a press and its release: the
      // error is said, and what it left held is lifted before the run ends.
      const char* report = lua_tostring(L, -1);
      system::console_diagnostic("the script stopped on an error: %s\n",
                                 report != nullptr ? report : "(no message)");
      release_held_inputs();
    }
  } else {
    const char* message = lua_tostring(L, -1);
    system::message_box(system::locale_format("语法错误"), message != nullptr ? message : "");
    lua_pop(L, 1);
  }
  lua_close(L);
}

}  // namespace tapline
