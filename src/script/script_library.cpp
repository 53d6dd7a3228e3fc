#include "script/script_library.h"

#include <array>
#include <initializer_list>
#include <limits>
#include <new>
#include <string_view>

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
    {"set_channel",
     set_channel,
     {"name string", nullptr,
      "Chooses the device's output channel: \"USB\" (channel 2) or \"BLE\" (channel 1), any "
      "case."}},
    {"HelloWorld",
     HelloWorld,
     {nullptr, nullptr, "Shows a message box saying \"Hello World!!!\"."}},
    {"Add",
     Add,
     {"a number, b number", "integer sum",
      "Adds two numbers cut to whole 32-bit values; 0 unless exactly two numbers are given."}},
    {"print",
     print,
     {"... any", nullptr,
      "Sends the values, each followed by a tab, as one line to the host window (stderr with "
      "TAPLINE_HOST_MESSAGES=stderr)."}},
    {"sleep", sleep, {"ms number", nullptr, "Pauses the script for the given milliseconds."}},
    {"Delay",
     Delay,
     {"ms number", nullptr, "Pauses the script for the given milliseconds, exactly like sleep."}},
    {"DelayRandom",
     DelayRandom,
     {"min_ms number, max_ms number", nullptr,
      "Pauses the script for a pseudo-random time from min_ms to max_ms milliseconds."}},
    {"GetMousePosition",
     GetMousePosition,
     {nullptr, "integer x, integer y", "The cursor position on this machine's screen."}},
    {"GetScreenResolution",
     GetScreenResolution,
     {nullptr, "integer width, integer height", "The size of this machine's screen in pixels."}},
    {"GetColor",
     GetColor,
     {"x? number, y? number", "integer colour, integer red, integer green, integer blue",
      "The colour (R + 256*G + 65536*B) of a screen pixel, at the cursor when no point is given."}},
    {"GetTimeStamp",
     GetTimeStamp,
     {nullptr, "integer ms",
      "Milliseconds since this machine started, as a 32-bit count that wraps."}},
    {"GetKeyState",
     GetKeyState,
     {"vk integer", "integer state",
      "This machine's state of a key by virtual-key code: negative while down, bit 0 while toggled "
      "on."}},
    {"GetLED",
     GetLED,
     {"index integer", "integer state",
      "This machine's Caps Lock state for index 0, 1 or 2; -1 for any other index."}},
    {"WaitKey",
     WaitKey,
     {"key integer|string, timeout_ms? integer", "integer down",
      "Waits until the key (code or name) is down on this machine (1) or the time-out has run out "
      "(0)."}},
    {"reboot", call<::reboot>, {nullptr, nullptr, "Makes the device restart."}},
    {"RunApp",
     RunApp,
     {"command_line string", "boolean started, string output",
      "Runs a program, waits for its output to end and returns that output with CR LF line ends."}},
    {"ShellExecute",
     ShellExecute,
     {"target string", nullptr,
      "Opens a file or URL with the desktop's default application; does not wait."}},
    {"dfu", call<::dfu>, {nullptr, nullptr, "Puts the device into firmware-update mode."}},
    {"GetDeviceID", GetDeviceID, {nullptr, "integer id", "The device identifier (always 0)."}},
    {"Curl",
     Curl,
     {"url string", "string|nil body",
      "Fetches a URL, following redirects; the body when the status is 200."}},
    {"HttpGet",
     HttpGet,
     {"url string, file string", "integer done",
      "Downloads a URL into a file; 1 when the transfer ran, 0 when it could not start."}},
    {"GetClipBoard",
     GetClipBoard,
     {nullptr, "string text", "The clipboard's text, or an empty string."}},
    {"SetClipBoard", SetClipBoard, {"text string", nullptr, "Puts the text on the clipboard."}},
    {"CaptureScreen",
     CaptureScreen,
     {"path? string", nullptr,
      "Captures the whole screen and, given a path, saves it there as a 24-bit BMP file."}},
    {"FindColor",
     FindColor,
     {"colour integer; colour integer, x1 integer, y1 integer, x2 integer, y2 integer",
      "integer x, integer y",
      "The first pixel of exactly this colour, row by row, in the screen or in x1 <= x < x2, y1 <= "
      "y < y2; -1, -1 when none."}},
    {"FindBmp",
     FindBmp,
     {"path string, x1? number, y1? number, x2? number, y2? number", "integer x, integer y",
      "Where the BMP picture is shown exactly on the screen (top-left corner); -1, -1 when "
      "nowhere. x2 or y2 of 0 means the whole screen."}},
    {"FindBmpEx",
     FindBmpEx,
     {"path string, x1 number, y1 number, x2 number, y2 number, percent? integer, tolerance? "
      "integer",
      "integer x, integer y",
      "Like FindBmp, allowing per-channel colour differences (tolerance as a colour value) in up "
      "to percent of the region's area in pixels."}},
    {"GetWindowPos",
     GetWindowPos,
     {"title string", "integer left, integer top, integer width, integer height, integer handle",
      "The position, size and handle of the top-level window with this title; -1, -1, -1, -1, 0 "
      "when there is none."}},
    {"SetWindowPos",
     SetWindowPos,
     {"handle integer, x integer, y integer", nullptr,
      "Moves a window (handle from GetWindowPos) to a screen position, raises and shows it."}},
    {"RestartScript", RestartScript, {nullptr, nullptr, "Does nothing; kept for older scripts."}},
    {"Pause", Pause, {nullptr, nullptr, "Does nothing; kept for older scripts."}},
    {"EndScript",
     EndScript,
     {nullptr, nullptr, "Makes Loop return at the end of its current pass."}},
    {"hid_cmd",
     hid_cmd,
     {"command string", "integer result", "Runs one line of the device's text command language."}},
    {"consumer",
     call<::consumer>,
     {"usage integer", nullptr,
      "Presses and releases one consumer-control (media) key by its usage code."}},
    {"Consumer", call<::consumer>, {}},
    {"AndroidHome", call<::android_home>, {nullptr, nullptr, "Presses the phone's Home key."}},
    {"AndroidBack", call<::android_back>, {nullptr, nullptr, "Presses the phone's Back key."}},
    {"AndroidMenu", call<::android_menu>, {nullptr, nullptr, "Presses the phone's Menu key."}},
    {"consumer", call<::consumer>, {}},
    {"PowerSleep", call<::power_sleep>, {nullptr, nullptr, "Asks the target to go to sleep."}},
    {"PowerDown", call<::power_down>, {nullptr, nullptr, "Asks the target to power down."}},
    {"vol_up", call<::vol_up>, {nullptr, nullptr, "Presses the volume-up media key."}},
    {"vol_down", call<::vol_down>, {nullptr, nullptr, "Presses the volume-down media key."}},
    {"LeftClick", call<::left_click>, {nullptr, nullptr, "Clicks the left mouse button."}},
    {"RightClick", call<::right_click>, {nullptr, nullptr, "Clicks the right mouse button."}},
    {"MiddleClick", call<::middle_click>, {nullptr, nullptr, "Clicks the middle mouse button."}},
    {"LeftRightClick",
     call<::left_right_click>,
     {nullptr, nullptr, "Clicks the left and right mouse buttons together."}},
    {"LeftDoubleClick",
     LeftDoubleClick,
     {nullptr, nullptr, "Double-clicks the left mouse button."}},
    {"LeftDown",
     call_with<::mouse, 1, 0, 0, 0>,
     {nullptr, nullptr, "Presses and holds the left mouse button."}},
    {"LeftUp", call_with<::mouse, 0, 0, 0, 0>, {nullptr, nullptr, "Releases every mouse button."}},
    {"RightDown",
     call_with<::mouse, 2, 0, 0, 0>,
     {nullptr, nullptr, "Presses and holds the right mouse button."}},
    {"RightUp", call_with<::mouse, 0, 0, 0, 0>, {nullptr, nullptr, "Releases every mouse button."}},
    {"MiddleDown",
     call_with<::mouse, 4, 0, 0, 0>,
     {nullptr, nullptr, "Presses and holds the middle mouse button."}},
    {"MiddleUp",
     call_with<::mouse, 0, 0, 0, 0>,
     {nullptr, nullptr, "Releases every mouse button."}},
    {"MouseWheel",
     call<::wheel>,
     {"steps integer", nullptr, "Turns the mouse wheel by steps (positive away from the user)."}},
    {"MoveR",
     call<::move>,
     {"dx integer, dy integer", nullptr,
      "Moves the mouse relatively, in one report (-128 to 127 per axis)."}},
    {"MoveD",
     MoveD,
     {"x integer, y integer, step integer", nullptr,
      "Moves the mouse relatively until this machine's cursor reaches the screen point."}},
    {"MoveTo",
     call<::absmove>,
     {"x integer, y integer", nullptr,
      "Moves the absolute mouse to a point given in this machine's screen pixels."}},
    {"key",
     key,
     {"name string, modifiers? string", nullptr,
      "Presses and releases a key (or each character of the text) with modifiers such as "
      "\"LCTRL+LSHIFT\"."}},
    {"Key", key, {}},
    {"VK",
     VK,
     {"name string", "integer vk",
      "The Windows virtual-key code of a key name; 0 for an unknown name."}},
    {"key_hid",
     call<::key_hid>,
     {"usage integer", nullptr, "Presses and releases the key with this HID usage code."}},
    {"KeyUp", KeyUp, {"name string", nullptr, "Releases a key held by KeyDown."}},
    {"KeyDown", KeyDown, {"name string", nullptr, "Presses and holds a key by name."}},
    {"KeyPress", KeyPress, {"name string", nullptr, "Presses and releases a key by name."}},
    {"SayString",
     call<::key_gbkstring>,
     {"text string", nullptr,
      "Types a text; characters beyond ASCII as Alt codes of the GBK code page."}},
    {"SayStringUnicode",
     call<::key_unicodestring>,
     {"text string", nullptr, "Types a text; characters beyond ASCII as Unicode Alt codes."}},
    {"TracePrint",
     TracePrint,
     {"text string", nullptr, "Sends the text unchanged to the host window."}},
    {"TouchSet",
     call<::touch_set>,
     {"width integer, height integer", nullptr,
      "Sets the target screen size that later touch coordinates refer to."}},
    {"Touch",
     Touch,
     {"x integer, y integer; state integer, x integer, y integer; state integer, contact integer, "
      "x integer, y integer",
      nullptr, "Sends one touch report: state 1 touching, 0 lifted; contact 0 unless given."}},
    {"touch", Touch, {}},
    {"TouchRelease",
     call<::touch_release>,
     {"contact? integer", nullptr, "Lifts a touch contact (0 unless given)."}},
    {"UnTouch", call<::touch_release>, {}},
    {"TouchClick", call<::touch_click>, {"x integer, y integer", nullptr, "Taps the point."}},
    {"TouchDbClick",
     call<::touch_dbclick>,
     {"x integer, y integer", nullptr, "Taps the point twice."}},
    {"TouchLongClick",
     call<::touch_longclick>,
     {"x integer, y integer", nullptr, "Touches the point and holds for a long press."}},
    {"TouchSlideLeft",
     call<::touch_slide_left>,
     {nullptr, nullptr, "Slides one finger to the left across the target screen."}},
    {"TouchSlideRight",
     call<::touch_slide_right>,
     {nullptr, nullptr, "Slides one finger to the right across the target screen."}},
    {"TouchSlideUp",
     call<::touch_slide_up>,
     {nullptr, nullptr, "Slides one finger up across the target screen."}},
    {"TouchSlideDown",
     call<::touch_slide_down>,
     {nullptr, nullptr, "Slides one finger down across the target screen."}},
    {"TouchZoomIn",
     call<::touch_zoom_in>,
     {nullptr, nullptr, "Spreads two fingers apart (zoom in)."}},
    {"TouchZoomOut",
     call<::touch_zoom_out>,
     {nullptr, nullptr, "Pinches two fingers together (zoom out)."}},
    {"TouchSlide",
     TouchSlide,
     {"x1 integer, y1 integer, x2 integer, y2 integer, interval_ms? integer", nullptr,
      "Slides one finger from (x1, y1) to (x2, y2), interval_ms (default 20) between reports."}},
    {"joyKey",
     joyKey,
     {"button integer", nullptr, "Presses and releases joystick button 0 to 15."}},
    {"beep", beep, {nullptr, nullptr, "Plays the default alert sound."}},
    {"MsgBox",
     MsgBox,
     {"text string", nullptr, "Shows the text and waits until it is acknowledged."}},
    {"RegPinChange",
     RegPinChange,
     {"callback function", nullptr,
      "Registers the function Loop calls with (pin, state) for each pin change."}},
    {"RegKbEvent",
     RegKbEvent,
     {"callback function", nullptr,
      "Registers the function Loop calls with (high, low) for each keyboard event."}},
    {"RegMouseEvent",
     RegMouseEvent,
     {"callback function", nullptr,
      "Registers the function Loop calls with (value) for each mouse event."}},
    {"Loop",
     Loop,
     {nullptr, nullptr,
      "Runs event callbacks and due timers, every millisecond, until EndScript is called."}},
    {"Subscribe", Subscribe, {"... any", nullptr, "Does nothing; kept for older scripts."}},
    {"Publish", Publish, {"... any", nullptr, "Does nothing; kept for older scripts."}},
    {"TimerLoopStart",
     TimerLoopStart,
     {"callback function, interval_ms integer", "integer|nil id",
      "Starts a timer that Loop fires every interval_ms until stopped; nil when callback is no "
      "function."}},
    {"TimerStop", TimerStop, {"id integer", nullptr, "Stops the timer with this id."}},
    {"TimerStart",
     TimerStart,
     {"callback function, interval_ms integer", "integer|nil id",
      "Starts a timer that Loop fires once after interval_ms; nil when callback is no function."}},
    {"PrintLuaExtFun",
     PrintLuaExtFun,
     {nullptr, "string names",
      "The names of all script functions, one per line, in registration order."}},
};

// Globals added after PrintLuaExtFun's list was fixed: registered after kRows, known to
// tapline --check and the editor definitions, never listed.
constexpr std::initializer_list<ScriptLibraryRow> kAddedRows = {
    {"GetScreenText",
     GetScreenText,
     {"x1? number, y1? number, x2? number, y2? number, language? string", "string|nil text",
      "The text read in x1 <= x < x2, y1 <= y < y2 (x2 or y2 of 0: the whole screen), lines "
      "separated by \"\\n\"; nil when nothing can be read."}},
    {"FindText",
     FindText,
     {"text string, x1? number, y1? number, x2? number, y2? number, language? string",
      "integer x, integer y, integer? width, integer? height, integer? confidence",
      "Where the words of text are first read on the screen, in that order, regardless of case "
      "and surrounding punctuation (top-left corner, then when found the words' size and the "
      "lowest word confidence, 0 to 100); -1, -1 when nowhere."}},
};

constexpr auto kGlobals = [] {
  std::array<ScriptLibraryRow, kRows.size() + kAddedRows.size()> globals{};
  size_t next = 0;
  for (const ScriptLibraryRow& row : kRows) globals[next++] = row;
  for (const ScriptLibraryRow& row : kAddedRows) globals[next++] = row;
  return globals;
}();

}  // namespace

std::span<const ScriptLibraryRow> script_library() { return {kRows.begin(), kRows.size()}; }

std::span<const ScriptLibraryRow> script_globals() { return kGlobals; }

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
  for (const ScriptLibraryRow& row : kGlobals) {
    lua_pushlightuserdata(L, reinterpret_cast<void*>(row.function));
    lua_pushstring(L, row.name);
    lua_pushcclosure(L, call_without_aborting, 2);
    lua_setglobal(L, row.name);
  }
}

const ScriptSignature& signature_of(const ScriptLibraryRow& row) {
  if (row.signature.summary != nullptr) return row.signature;
  for (const ScriptLibraryRow& earlier : kGlobals) {
    if (earlier.function == row.function && earlier.signature.summary != nullptr) {
      return earlier.signature;
    }
  }
  return row.signature;
}

namespace {

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  while (!text.empty()) {
    const size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + separator.size());
  }
  return parts;
}

}  // namespace

std::vector<ScriptForm> call_forms(const ScriptSignature& signature) {
  std::vector<ScriptForm> forms;
  if (signature.params == nullptr) return {ScriptForm{}};
  for (std::string_view form_text : split(signature.params, "; ")) {
    ScriptForm form;
    for (std::string_view param_text : split(form_text, ", ")) {
      const size_t blank = param_text.find(' ');
      ScriptParam param;
      param.name = std::string(param_text.substr(0, blank));
      param.type =
          blank == std::string_view::npos ? "any" : std::string(param_text.substr(blank + 1));
      param.variadic = param.name == "...";
      if (!param.name.empty() && param.name.back() == '?') {
        param.optional = true;
        param.name.pop_back();
      }
      form.push_back(std::move(param));
    }
    forms.push_back(std::move(form));
  }
  return forms;
}

bool accepts_argument_count(const ScriptSignature& signature, int count) {
  for (const ScriptForm& form : call_forms(signature)) {
    int required = 0;
    int most = 0;
    for (const ScriptParam& param : form) {
      if (param.variadic) {
        most = std::numeric_limits<int>::max();
        break;
      }
      ++most;
      if (!param.optional) required = most;
    }
    if (count >= required && count <= most) return true;
  }
  return false;
}

}  // namespace tapline::script
