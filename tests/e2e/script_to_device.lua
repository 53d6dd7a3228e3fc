-- Sent by the console program to the software device; examples_test.cpp reads back what it decoded.
KeyPress("a")              -- channel 1 ("BLE") until set_channel says otherwise
set_channel("usb")         -- upper-cased: channel 2
key("c", "LCTRL")          -- modifier names are upper case
SayStringUnicode("中")
MoveR(10, -5)
RightClick()
MouseWheel(-1)
consumer(0xE2)
TouchSet(1080, 2408)
TouchClick(540, 1204)
joyKey(15)
hid_cmd("key:down,LShift")
hid_cmd("key:up,LShift")
dfu()
