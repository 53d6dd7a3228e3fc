#!/usr/bin/env bash
# Runs a script with the console program over UDP to the software device and checks the
# decoded frames. Usage: run_script_to_device.sh TAPLINE TAPLINE_DEVICE SCRIPT
set -euo pipefail
tapline="$1"
device="$2"
script="$3"
source "$(dirname "${BASH_SOURCE[0]}")/device.sh"
start_device "$device" --json

"$tapline" "$script" net 127.0.0.1 "$port" >"$work/out" 2>"$work/err" </dev/null
stop_device

fail() { echo "script to device: $*" >&2; cat "$work/out" "$work/decoded" >&2; exit 1; }
tail -n1 "$work/out" | grep -qx '运行结束' || fail "the run did not end normally"
# One line per frame; the lines in order, reduced to type and report bytes.
reports="$(grep -o '"type":"[A-Za-z]*","type_byte":"[0-9a-f]*","report":"[0-9a-f]*"' "$work/decoded" |
  sed 's/"type":"\([A-Za-z]*\)","type_byte":"\([0-9a-f]*\)","report":"\([0-9a-f]*\)"/\1 \2 \3/')"
expected="$(cat <<'FRAMES'
Keyboard 41 0000040000000000
Keyboard 41 0000000000000000
Keyboard 81 0100060000000000
Keyboard 81 0000000000000000
Keyboard 81 04005a0000000000
Keyboard 81 0400000000000000
Keyboard 81 0400620000000000
Keyboard 81 0400000000000000
Keyboard 81 0400620000000000
Keyboard 81 0400000000000000
Keyboard 81 0400590000000000
Keyboard 81 0400000000000000
Keyboard 81 04005b0000000000
Keyboard 81 0400000000000000
Keyboard 81 0000000000000000
Keyboard 81 0000000000000000
Mouse 85 00000afb000000
Mouse 85 00000000000000
Mouse 85 02000000000000
Mouse 85 00000000000000
Mouse 85 00ff0000000000
Mouse 85 00000000000000
Consumer 82 e2000000000000
Consumer 82 00000000000000
Touch 87 0100ff07ff07
Touch 87 000000000000
Joystick 84 00800000000000
Joystick 84 00000000000000
Keyboard 81 0200000000000000
Keyboard 81 0000000000000000
DeviceCommand 88 f30c0000000000000000000000000000
FRAMES
)"
if [[ "$reports" != "$expected" ]]; then
  diff <(echo "$expected") <(echo "$reports") >&2 || true
  fail "decoded frames differ (< expected, > decoded)"
fi
grep -q '"bad_frames":0' "$work/decoded" || fail "malformed frames"
echo "script to device: $(echo "$reports" | wc -l) frames decoded as expected"
