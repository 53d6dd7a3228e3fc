// System functions for scripts: pauses, message boxes and the bell, programs, windows and
// the clipboard.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/alert_sound.h"
#include "platform/clipboard.h"
#include "platform/top_level_windows.h"
#include "script/args.h"
#include "script/script_functions.h"
#include "system/clock.h"
#include "system/console.h"
#include "system/message_box.h"
#include "system/process.h"

namespace tapline::script {
namespace {

// The caption of a box that is given none.
constexpr const char* kDefaultCaption = "Tapline";

// Lines end at CR, LF or CR LF; each is given back with CR LF. A zero byte ends the text.
std::string with_crlf_lines(std::string_view output) {
  output = output.substr(0, output.find('\0'));
  std::string text;
  text.reserve(output.size() + output.size() / 8 + 2);
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = output.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      text.append(output.substr(start)).append("\r\n");
      break;
    }
    text.append(output.substr(start, end - start)).append("\r\n");
    start = end + 1;
    if (output[end] == '\r' && start < output.size() && output[start] == '\n') ++start;
  }
  return text;
}

}  // namespace

int HelloWorld(lua_State*) {
  system::message_box(kDefaultCaption, "Hello World!!!");
  return 0;
}

int MsgBox(lua_State* L) {
  const char* text = arg_text(L, 1);
  system::message_box("", text != nullptr ? text : "");
  return 0;
}

int beep(lua_State*) {
  platform::alert_sound();
  return 0;
}

int Add(lua_State* L) {
  lua_Integer sum = 0;
  if (lua_gettop(L) == 2 && lua_isnumber(L, 1) && lua_isnumber(L, 2)) {
    const uint32_t a = static_cast<uint32_t>(arg_int32(L, 1));
    const uint32_t b = static_cast<uint32_t>(arg_int32(L, 2));
    sum = static_cast<int32_t>(a + b);  // wraps at 32 bits
  }
  lua_pushinteger(L, sum);
  return 1;
}

int Delay(lua_State* L) {
  system::sleep_ms(std::max<int64_t>(0, arg_int32(L, 1)));  // a negative time sleeps 0
  return 0;
}

int DelayRandom(lua_State* L) {
  const int64_t low = arg_int32(L, 1);
  const int64_t high = arg_int32(L, 2);
  // The C library's generator, never seeded, cut to the 0..32767 range the delays are
  // drawn from. An empty range (max below min) sleeps min.
  const int64_t draw = std::rand() % 32768;
  const int64_t span = high - low + 1;
  system::sleep_ms(std::max<int64_t>(0, span > 0 ? low + draw % span : low));
  return 0;
}

int RunApp(lua_State* L) {
  const char* command_line = arg_text(L, 1);
  system::CapturedRun run;
  if (command_line != nullptr)
    run = system::run_captured(command_line);
  else
    system::console_diagnostic_from("RunApp", "no command line given\n");
  lua_pushboolean(L, run.started);
  const std::string text = with_crlf_lines(run.output);
  lua_pushlstring(L, text.data(), text.size());
  return 2;
}

int ShellExecute(lua_State* L) {
  const char* target = arg_text(L, 1);
  if (target == nullptr) {
    system::console_diagnostic_from("ShellExecute", "nothing to open\n");
    return 0;
  }
  if (const int error = system::start_detached({"xdg-open", target}))
    system::console_diagnostic_from("ShellExecute", "cannot start xdg-open: %s\n",
                                    std::strerror(error));
  return 0;
}

int GetWindowPos(lua_State* L) {
  const auto placement = platform::top_level_windows().find(arg_text(L, 1));
  if (!placement) {
    for (int i = 0; i < 4; ++i) lua_pushinteger(L, -1);
    lua_pushinteger(L, 0);
    return 5;
  }
  lua_pushinteger(L, placement->left);
  lua_pushinteger(L, placement->top);
  lua_pushinteger(L, placement->width);
  lua_pushinteger(L, placement->height);
  lua_pushinteger(L, static_cast<lua_Integer>(placement->handle));
  return 5;
}

int SetWindowPos(lua_State* L) {
  const int64_t handle = arg_integer(L, 1);
  const auto x = static_cast<int32_t>(static_cast<uint64_t>(arg_integer(L, 2)));
  const auto y = static_cast<int32_t>(static_cast<uint64_t>(arg_integer(L, 3)));
  if (!platform::top_level_windows().move(static_cast<uint64_t>(handle), x, y))
    system::console_diagnostic_from("SetWindowPos", "no window %lld\n",
                                    static_cast<long long>(handle));
  return 0;
}

int SetClipBoard(lua_State* L) {
  const char* text = arg_text(L, 1);
  if (text == nullptr) {
    system::console_diagnostic_from("SetClipBoard", "no text given; clipboard left unchanged\n");
    return 0;
  }
  // The clipboard's text format ends at the first zero byte.
  platform::clipboard().set_text(text);
  return 0;
}

int GetClipBoard(lua_State* L) {
  const std::string text = platform::clipboard().get_text();
  lua_pushlstring(L, text.data(), text.size());
  return 1;
}

}  // namespace tapline::script
