#include "script/script_library.h"

#include <initializer_list>

#include "script/call.h"
#include "script/script_functions.h"
#include "tapline.h"

namespace tapline::script {
namespace {

// Registration order matters: PrintLuaExtFun lists the names in this order, and
// "consumer" is registered twice on purpose. Rows made with call<> forward their
// arguments to the command of the C interface; every "up" releases all mouse buttons,
// since the mouse report carries the whole button state.
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
    {"reboot", call<::reboot>},
    {"RunApp", RunApp},
    {"ShellExecute", ShellExecute},
    {"dfu", call<::dfu>},
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
    {"consumer", call<::consumer>},
    {"Consumer", call<::consumer>},
    {"AndroidHome", call<::android_home>},
    {"AndroidBack", call<::android_back>},
    {"AndroidMenu", call<::android_menu>},
    {"consumer", call<::consumer>},
    {"PowerSleep", call<::power_sleep>},
    {"PowerDown", call<::power_down>},
    {"vol_up", call<::vol_up>},
    {"vol_down", call<::vol_down>},
    {"LeftClick", call<::left_click>},
    {"RightClick", call<::right_click>},
    {"MiddleClick", call<::middle_click>},
    {"LeftRightClick", call<::left_right_click>},
    {"LeftDoubleClick", LeftDoubleClick},
    {"LeftDown", call_with<::mouse, 1, 0, 0, 0>},
    {"LeftUp", call_with<::mouse, 0, 0, 0, 0>},
    {"RightDown", call_with<::mouse, 2, 0, 0, 0>},
    {"RightUp", call_with<::mouse, 0, 0, 0, 0>},
    {"MiddleDown", call_with<::mouse, 4, 0, 0, 0>},
    {"MiddleUp", call_with<::mouse, 0, 0, 0, 0>},
    {"MouseWheel", call<::wheel>},
    {"MoveR", call<::move>},
    {"MoveD", MoveD},
    {"MoveTo", call<::absmove>},
    {"key", key},
    {"Key", key},
    {"VK", VK},
    {"key_hid", call<::key_hid>},
    {"KeyUp", KeyUp},
    {"KeyDown", KeyDown},
    {"KeyPress", KeyPress},
    {"SayString", call<::key_gbkstring>},
    {"SayStringUnicode", call<::key_unicodestring>},
    {"TracePrint", TracePrint},
    {"TouchSet", call<::touch_set>},
    {"Touch", Touch},
    {"touch", Touch},
    {"TouchRelease", call<::touch_release>},
    {"UnTouch", call<::touch_release>},
    {"TouchClick", call<::touch_click>},
    {"TouchDbClick", call<::touch_dbclick>},
    {"TouchLongClick", call<::touch_longclick>},
    {"TouchSlideLeft", call<::touch_slide_left>},
    {"TouchSlideRight", call<::touch_slide_right>},
    {"TouchSlideUp", call<::touch_slide_up>},
    {"TouchSlideDown", call<::touch_slide_down>},
    {"TouchZoomIn", call<::touch_zoom_in>},
    {"TouchZoomOut", call<::touch_zoom_out>},
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

void register_script_library(lua_State* L) {
  for (const ScriptLibraryRow& row : kRows) {
    lua_pushcclosure(L, row.function, 0);
    lua_setglobal(L, row.name);
  }
}

}  // namespace tapline::script
