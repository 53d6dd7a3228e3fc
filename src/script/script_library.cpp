#include "script/script_library.h"

#include <initializer_list>
#include <new>

#include "script/script_functions.h"

namespace tapline::script {
namespace {

// Registration order matters: PrintLuaExtFun lists the names in this order, and
// "consumer" is registered twice on purpose.
constexpr std::initializer_list<ScriptLibraryRow> kRows = {
    {"set_channel", set_channel},
    {"HelloWorld", HelloWorld},
    {"Add", Add},
    {"print", print},
    {"sleep", sleep},
    {"Delay", Delay},
    {"DelayRandom", DelayRandom},
    {"GetMousePosition", GetMousePosition},
    {"GetScreenResolution", GetScreenResolution},
    {"GetColor", GetColor},
    {"GetTimeStamp", GetTimeStamp},
    {"GetKeyState", GetKeyState},
    {"GetLED", GetLED},
    {"WaitKey", WaitKey},
    {"reboot", reboot},
    {"RunApp", RunApp},
    {"ShellExecute", ShellExecute},
    {"dfu", dfu},
    {"GetDeviceID", GetDeviceID},
    {"Curl", Curl},
    {"HttpGet", HttpGet},
    {"GetClipBoard", GetClipBoard},
    {"SetClipBoard", SetClipBoard},
    {"CaptureScreen", CaptureScreen},
    {"FindColor", FindColor},
    {"FindBmp", FindBmp},
    {"FindBmpEx", FindBmpEx},
    {"GetWindowPos", GetWindowPos},
    {"SetWindowPos", SetWindowPos},
    {"RestartScript", RestartScript},
    {"Pause", Pause},
    {"EndScript", EndScript},
    {"hid_cmd", hid_cmd},
    {"consumer", consumer},
    {"Consumer", consumer},
    {"AndroidHome", AndroidHome},
    {"AndroidBack", AndroidBack},
    {"AndroidMenu", AndroidMenu},
    {"consumer", consumer},
    {"PowerSleep", PowerSleep},
    {"PowerDown", PowerDown},
    {"vol_up", vol_up},
    {"vol_down", vol_down},
    {"LeftClick", LeftClick},
    {"RightClick", RightClick},
    {"MiddleClick", MiddleClick},
    {"LeftRightClick", LeftRightClick},
    {"LeftDoubleClick", LeftDoubleClick},
    {"LeftDown", LeftDown},
    {"LeftUp", LeftUp},
    {"RightDown", RightDown},
    {"RightUp", RightUp},
    {"MiddleDown", MiddleDown},
    {"MiddleUp", MiddleUp},
    {"MouseWheel", MouseWheel},
    {"MoveR", MoveR},
    {"MoveD", MoveD},
    {"MoveTo", MoveTo},
    {"key", key},
    {"Key", key},
    {"VK", VK},
    {"key_hid", key_hid},
    {"KeyUp", KeyUp},
    {"KeyDown", KeyDown},
    {"KeyPress", KeyPress},
    {"SayString", SayString},
    {"SayStringUnicode", SayStringUnicode},
    {"TracePrint", TracePrint},
    {"TouchSet", TouchSet},
    {"Touch", Touch},
    {"touch", Touch},
    {"TouchRelease", TouchRelease},
    {"UnTouch", TouchRelease},
    {"TouchClick", TouchClick},
    {"TouchDbClick", TouchDbClick},
    {"TouchLongClick", TouchLongClick},
    {"TouchSlideLeft", TouchSlideLeft},
    {"TouchSlideRight", TouchSlideRight},
    {"TouchSlideUp", TouchSlideUp},
    {"TouchSlideDown", TouchSlideDown},
    {"TouchZoomIn", TouchZoomIn},
    {"TouchZoomOut", TouchZoomOut},
    {"TouchSlide", TouchSlide},
    {"joyKey", joyKey},
    {"beep", beep},
    {"MsgBox", MsgBox},
    {"RegPinChange", RegPinChange},
    {"RegKbEvent", RegKbEvent},
    {"RegMouseEvent", RegMouseEvent},
    {"Loop", Loop},
    {"Subscribe", Subscribe},
    {"Publish", Publish},
    {"TimerLoopStart", TimerLoopStart},
    {"TimerStop", TimerStop},
    {"TimerStart", TimerStart},
    {"PrintLuaExtFun", PrintLuaExtFun},
};

}  // namespace

std::span<const ScriptLibraryRow> script_library() { return {kRows.begin(), kRows.size()}; }

namespace {

// Every script function runs through this: a failed allocation inside it (a screen grab,
// a child's output, converted text) must not abort the process through an uncaught
// std::bad_alloc. It becomes a Lua memory error instead, which the script may catch and
// which otherwise ends the script through its error path (said on standard error, what
// is held released). Upvalues: the function, its global name.
int call_without_aborting(lua_State* L) {
  const auto function = reinterpret_cast<lua_CFunction>(lua_touserdata(L, lua_upvalueindex(1)));
  try {
    return function(L);
  } catch (const std::bad_alloc&) {
  }
  // Raised outside the handler: the Lua error unwinds with longjmp.
  return luaL_error(L, "%s: not enough memory", lua_tostring(L, lua_upvalueindex(2)));
}

}  // namespace

void register_script_library(lua_State* L) {
  for (const ScriptLibraryRow& row : kRows) {
    lua_pushlightuserdata(L, reinterpret_cast<void*>(row.function));
    lua_pushstring(L, row.name);
    lua_pushcclosure(L, call_without_aborting, 2);
    lua_setglobal(L, row.name);
  }
}

}  // namespace tapline::script
