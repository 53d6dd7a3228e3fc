#!/usr/bin/env bash
# Every Lua example of docs/writing-scripts.md: clean under tapline --check, and run to
# its end by the console program against the software device, which together receive
# keyboard, mouse, absolute mouse, touch, consumer and joystick frames, none malformed.
# Usage: run_guide_examples.sh TAPLINE TAPLINE_DEVICE GUIDE
set -euo pipefail
tapline="$1"
device="$2"
guide="$3"
source "$(dirname "${BASH_SOURCE[0]}")/device.sh"
fail() { echo "guide examples: $*" >&2; exit 1; }

# One file per fenced lua block.
awk -v dir="$work" '
  /^```lua$/ { n++; file = sprintf("%s/example%02d.lua", dir, n); inside = 1; next }
  /^```$/ { inside = 0; next }
  inside { print > file }
' "$guide"
examples=("$work"/example*.lua)
((${#examples[@]} >= 8)) || fail "only ${#examples[@]} examples found in $guide"
"$tapline" --check "${examples[@]}" || fail "tapline --check found problems"

# The screen the examples look at: an 800x600 picture with a red square, and no X11
# display, so that nothing of the desktop running the tests is touched.
python3 - "$work/screen.bmp" <<'PICTURE'
import struct, sys
width, height = 800, 600
row = bytearray(b"\x40\x40\x40" * width)
rows = []
for y in range(height):
    line = bytearray(row)
    if 100 <= y < 120:
        line[300 * 3:320 * 3] = b"\x00\x00\xff" * 20  # blue, green, red
    rows.append(bytes(line))
pixels = b"".join(reversed(rows))
header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(pixels), 0, 0, 54, 40, width,
                     height, 1, 24, 0, len(pixels), 0, 0, 0, 0)
open(sys.argv[1], "wb").write(header + pixels)
PICTURE
unset DISPLAY
export TAPLINE_SCREEN="$work/screen.bmp"

start_device "$device" --json
for example in "${examples[@]}"; do
  # A run-time error ends a script silently: the last line shows it got to its end.
  printf '\nprintf("<example ended>\\n")\n' >>"$example"
  (cd "$work" && "$tapline" "$example" net 127.0.0.1 "$port" >"$work/out" 2>"$work/err" </dev/null)
  grep -q '^<example ended>$' "$work/out" ||
    { sed 's/^/  /' "$example" "$work/out" "$work/err" >&2; fail "$(basename "$example") did not run to its end"; }
done
stop_device

for type in Keyboard Mouse AbsoluteMouse Touch Consumer Joystick; do
  grep -q "\"type\":\"$type\"" "$work/decoded" || fail "no $type frame reached the device"
done
grep -q '"bad_frames":0' "$work/decoded" || fail "malformed frames"
echo "guide examples: ${#examples[@]} ran to their end; $(grep -c '"type"' "$work/decoded") frames"
