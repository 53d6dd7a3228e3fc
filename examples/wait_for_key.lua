-- Waits for an operator on this machine before driving the device: F9 starts typing,
-- Esc ends the script. Caps Lock on this machine picks upper or lower case text.
-- Run: tapline examples/wait_for_key.lua net 127.0.0.1 9000

printf("Press F9 to type, Esc to stop\n")
local started = GetTimeStamp()
while true do
  if WaitKey("Esc", 10) == 1 then
    break
  end
  if WaitKey("F9", 200) == 1 then
    -- GetLED(0) is the Caps Lock state: 1 while on.
    if GetLED(0) == 1 then
      SayString("HELLO FROM TAPLINE")
    else
      SayString("hello from tapline")
    end
    KeyPress("Enter")
    -- Wait until F9 has been let go, so that one press types once.
    while GetKeyState(VK("F9")) < 0 do
      sleep(20)
    end
  end
  -- Give up after a minute without the operator.
  if GetTimeStamp() - started > 60000 then
    break
  end
end

-- The same commands as text, as a host program would send them.
hid_cmd("key:press,Enter")
hid_cmd("consumer:volup")
