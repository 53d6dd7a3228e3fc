-- Tapline demo: script output, a few device commands, timers and the script's Loop.
-- Every named call is echoed on the console ("global:printf"); print and TracePrint go to
-- the host window, which the console program shows on standard error when started with
-- TAPLINE_HOST_MESSAGES=stderr.

printf("hello from %s\n", author)
print("print joins values with tabs:", 42, true, {x = 1, nested = {ok = true}})
TracePrint("TracePrint sends its text unchanged\n")

-- Device commands: each becomes command frames sent to the device.
set_channel("USB")              -- the device's output channel: "USB" (2) or "BLE" (1)
SayString("Hi, Tapline!")       -- types text key by key
key("c", "LCTRL")               -- ctrl+c (modifier names in capitals)
KeyPress("Enter")
MoveR(10, 5)                    -- relative mouse move
LeftClick()
MouseWheel(-2)
vol_up()                        -- consumer keys: volume up, then a phone's home key
AndroidHome()
TouchSet(1080, 2408)            -- the target's touch screen, in touch units
TouchClick(540, 1200)
TouchSlide(540, 1800, 540, 600) -- a swipe up
hid_cmd("key:press,Tab")        -- the one-line text commands
joyKey(3)

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
