#include "script/script_control.h"

#include "script/script_functions.h"

namespace tapline::script {

int32_t end_request = 0;

// Exactly Delay's pause, its argument conversion included.
int sleep(lua_State* L) { return Delay(L); }

// Restarting and pausing are offered by the call echo alone: the hook prints the word,
// and a console holding its output stops the script at its next echoed call.
int RestartScript(lua_State*) { return 0; }

int Pause(lua_State*) { return 0; }

int EndScript(lua_State*) {
  end_request = 1;
  return 0;
}

}  // namespace tapline::script
