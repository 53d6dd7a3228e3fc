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

// Input (input.cpp)
int reboot(lua_State* L);
int dfu(lua_State* L);
int consumer(lua_State* L);
int AndroidHome(lua_State* L);
int AndroidBack(lua_State* L);
int AndroidMenu(lua_State* L);
int PowerSleep(lua_State* L);
int PowerDown(lua_State* L);
int vol_up(lua_State* L);
int vol_down(lua_State* L);
int LeftClick(lua_State* L);
int RightClick(lua_State* L);
int MiddleClick(lua_State* L);
int LeftRightClick(lua_State* L);
int LeftDoubleClick(lua_State* L);
int LeftDown(lua_State* L);
int LeftUp(lua_State* L);
int RightDown(lua_State* L);
int RightUp(lua_State* L);
int MiddleDown(lua_State* L);
int MiddleUp(lua_State* L);
int MouseWheel(lua_State* L);
int MoveR(lua_State* L);
int MoveD(lua_State* L);
int MoveTo(lua_State* L);
int key(lua_State* L);
int VK(lua_State* L);
int key_hid(lua_State* L);
int KeyUp(lua_State* L);
int KeyDown(lua_State* L);
int KeyPress(lua_State* L);
int SayString(lua_State* L);
int SayStringUnicode(lua_State* L);
int TouchSet(lua_State* L);
int Touch(lua_State* L);
int TouchRelease(lua_State* L);
int TouchClick(lua_State* L);
int TouchDbClick(lua_State* L);
int TouchLongClick(lua_State* L);
int TouchSlideLeft(lua_State* L);
int TouchSlideRight(lua_State* L);
int TouchSlideUp(lua_State* L);
int TouchSlideDown(lua_State* L);
int TouchZoomIn(lua_State* L);
int TouchZoomOut(lua_State* L);
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
