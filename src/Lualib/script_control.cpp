#include "Lualib/script_control.h"

#include "Lualib/args.h"
#include "Lualib/script_functions.h"
#include "platform/clock.h"

namespace tapline::script {

int32_t end_request = 0;

int sleep(lua_State* L) {
  const int64_t ms = arg_number(L, 1);
  platform::sleep_ms(ms < 0 ? 0 : ms);
  return 0;
}

// Restarting and pausing are offered by the call echo alone: the hook prints the word,
// and a console holding its output stops the script at its next echoed call.
int RestartScript(lua_State*) { return 0; }

int Pause(lua_State*) { return 0; }

int EndScript(lua_State*) {
  end_request = 1;
  return 0;
}

}  // namespace tapline::script
