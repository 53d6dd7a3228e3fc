// The script globals, one native function per row of the script library.
#pragma once

#include <lua.hpp>

namespace tapline::script {

// Control (script_control.cpp)
int sleep(lua_State* L);
int RestartScript(lua_State* L);
int Pause(lua_State* L);
int EndScript(lua_State* L);

// Events, timers and the Loop (events.cpp)
int RegPinChange(lua_State* L);
int RegKbEvent(lua_State* L);
int RegMouseEvent(lua_State* L);
int Loop(lua_State* L);
int Subscribe(lua_State* L);
int Publish(lua_State* L);
int TimerLoopStart(lua_State* L);
int TimerStop(lua_State* L);
int TimerStart(lua_State* L);

// Output (output.cpp)
int print(lua_State* L);
int TracePrint(lua_State* L);
int PrintLuaExtFun(lua_State* L);

// Input (input.cpp; plain forwards are rows made with call<> in script_library.cpp)
int LeftDoubleClick(lua_State* L);
int MoveD(lua_State* L);
int key(lua_State* L);
int VK(lua_State* L);
int KeyUp(lua_State* L);
int KeyDown(lua_State* L);
int KeyPress(lua_State* L);
int Touch(lua_State* L);
int TouchSlide(lua_State* L);
int joyKey(lua_State* L);

// Screen (screen.cpp)
int GetMousePosition(lua_State* L);
int GetScreenResolution(lua_State* L);
int GetColor(lua_State* L);
int CaptureScreen(lua_State* L);
int FindColor(lua_State* L);

// Bitmap search (bitmap_search.cpp)
int FindBmp(lua_State* L);
int FindBmpEx(lua_State* L);

// Screen text (screen_text.cpp)
int GetScreenText(lua_State* L);
int FindText(lua_State* L);

// System (system.cpp)
int HelloWorld(lua_State* L);
int Add(lua_State* L);
int Delay(lua_State* L);
int DelayRandom(lua_State* L);
int RunApp(lua_State* L);
int ShellExecute(lua_State* L);
int GetClipBoard(lua_State* L);
int SetClipBoard(lua_State* L);
int GetWindowPos(lua_State* L);
int SetWindowPos(lua_State* L);
int beep(lua_State* L);
int MsgBox(lua_State* L);

// Network (network.cpp, Httpget.cpp)
int Curl(lua_State* L);
int HttpGet(lua_State* L);

// Device state (device_state.cpp)
int set_channel(lua_State* L);
int GetTimeStamp(lua_State* L);
int GetKeyState(lua_State* L);
int GetLED(lua_State* L);
int WaitKey(lua_State* L);
int GetDeviceID(lua_State* L);
int hid_cmd(lua_State* L);

}  // namespace tapline::script
