-- An auto-clicker that the operator of this machine starts and stops with host keys:
-- F8 starts or pauses clicking (ten left clicks a second on the target), Esc ends the
-- script. Key callbacks get the virtual-key code and 1 (down) or 0 (up); mouse callbacks
-- get button * 65536 + state. The keys are read from this machine's desktop, whichever
-- window has the focus; they are never sent on to the device.
-- Run: tapline examples/hotkeys.lua net 127.0.0.1 9000

local F8 = VK("F8")
local ESC = VK("Esc")
local clicking = false
local clicks = 0

RegKbEvent(function(code, state)
  if state ~= 1 then
    return
  end
  if code == F8 then
    clicking = not clicking
    printf("clicking %s\n", clicking and "on" or "off")
  elseif code == ESC then
    EndScript()
  end
end)

-- Shows where the operator clicks on this machine (wheel steps are buttons 4 to 7).
RegMouseEvent(function(entry)
  local button, state = entry // 65536, entry % 65536
  if state == 1 and button <= 3 then
    local x, y = GetMousePosition()
    printf("host button %d at %d, %d\n", button, x, y)
  end
end)

TimerLoopStart(function()
  if clicking then
    LeftClick()
    clicks = clicks + 1
  end
end, 100)

-- Give up after a minute without Esc.
TimerStart(EndScript, 60000)

printf("F8 starts or pauses clicking, Esc ends\n")
Loop()
printf("%d clicks\n", clicks)
