-- Tapline on a desktop: run by `scripts/demo --desktop` against the software device,
-- which injects every frame into an X11 desktop where a small window records and shows
-- what arrives. Ends with a screenshot of that desktop.

local shot = os.getenv("TAPLINE_DEMO_SCREENSHOT") or "desktop.bmp"
local width, height = GetScreenResolution()

-- A click fills the window with a colour; wait (bounded) until the screen shows it.
MoveTo(width // 2, height // 2)
LeftClick()
local filled = 0xE0 + 0x20 * 256 + 0x20 * 65536
for i = 1, 100 do
  if GetColor(width // 2, height // 2) == filled then break end
  sleep(20)
end
local x, y = FindColor(filled, 0, 0, width, height)
io.write("the click's colour is first seen at ", x, ",", y, "\n")

SayString("Hello from Tapline, 中文 too. ")  -- Alt + keypad digits, one character each
hid_cmd("key:string,typed key by key!")     -- one key per character
KeyPress("Enter")
key("a", "LCTRL")                            -- ctrl+a, a key with a modifier

-- A drag with the touch screen's first finger (its press fills the window anew), then a
-- relative walk back to the centre, led by the cursor position read back.
TouchSet(width, height)
TouchSlide(width // 4, height * 3 // 4, width * 3 // 4, height * 3 // 4)
MoveTo(width // 2 - 40, height // 2 - 30)
MoveD(width // 2, height // 2, 1)
MouseWheel(-1)

CaptureScreen(shot)
