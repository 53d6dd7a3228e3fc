-- The mouse of the target machine: clicks, relative and absolute moves, dragging and
-- the wheel. Absolute positions are pixels of this machine's screen.
-- Run: tapline examples/mouse.lua net 127.0.0.1 9000

LeftClick()
RightClick()
LeftDoubleClick()

-- Relative moves: one report per call, at most 127 units per axis.
for _ = 1, 10 do
  MoveR(20, 5)
end

-- Absolute move to the centre of this machine's screen (scaled for the device).
MoveTo(960, 540)

-- Drag: hold the left button, move, let go. Every mouse report carries its buttons, so
-- MoveR between LeftDown and LeftUp would let go of the button; the text commands keep
-- the buttons they pressed in every report until their "up" word.
hid_cmd("mouse:leftdown")
hid_cmd("mouse:move,100,0")
hid_cmd("mouse:move,0,100")
hid_cmd("mouse:leftup")

-- Scroll three steps down, then up.
MouseWheel(-3)
MouseWheel(3)

-- Move this machine's own pointer to a point by watching where it goes (only useful
-- when the device is plugged into this machine): 1 unit per pixel of distance.
MoveD(400, 300, 1)
