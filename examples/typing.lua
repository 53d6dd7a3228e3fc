-- Typing on the target machine: single keys, shortcuts, held keys and whole texts.
-- Run: tapline examples/typing.lua            (USB device)
--      tapline examples/typing.lua net 127.0.0.1 9000   (software device over UDP)

-- One key by name, pressed and released.
KeyPress("Enter")

-- A shortcut: key() takes a key name (or characters) and a text of modifier names.
key("a", "LCTRL")          -- select all
key("c", "LCTRL")          -- copy
key("Tab", "LALT")         -- switch window
key("F5")                  -- a special key without modifiers
key("Esc", "LCTRL LSHIFT") -- separators between modifier names do not matter

-- Keys held across calls: KeyDown and KeyUp remember what is down.
KeyDown("LShift")
KeyPress("h")              -- typed as a capital with Shift held
KeyPress("i")
KeyUp("LShift")

-- A raw HID usage: 0x29 is Escape.
key_hid(0x29)

-- Whole texts. SayString types any character by its code page number on the keypad
-- with Alt held; SayStringUnicode by its UTF-16 number (Windows targets).
SayString("Hello, world!")
SayStringUnicode("你好")

-- The virtual-key code of a name, as the host's key functions use it.
printf("VK of Enter: %d, of a: %d\n", VK("Enter"), VK("a"))
