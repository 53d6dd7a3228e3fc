-- Tapline demo: script output, a few device commands, timers and the script's Loop.
-- Every named call is echoed on the console ("global:printf"); print and TracePrint go to
-- the host window, which the console program shows on standard error when started with
-- TAPLINE_HOST_MESSAGES=stderr.

printf("hello from %s\n", author)
print("print joins values with tabs:", 42, true, {x = 1, nested = {ok = true}})
TracePrint("TracePrint sends its text unchanged\n")

-- A few device commands: each becomes command frames sent to the device.
KeyPress("a")
MoveR(10, 5)
LeftClick()

local ticks = 0
local ticker
ticker = TimerLoopStart(function()
  ticks = ticks + 1
  printf("tick %d\n", ticks)
  if ticks == 3 then
    TimerStop(ticker)
    TimerStart(function() EndScript() end, 100)
  end
end, 200)

Loop()

local _, count = PrintLuaExtFun():gsub("\n", "")
printf("after the loop: %d ticks, %d library functions\n", ticks, count)
