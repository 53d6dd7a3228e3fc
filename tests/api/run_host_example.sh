#!/usr/bin/env bash
# Runs the C host example against the software device on loopback and checks what the
# device decoded. Usage: run_host_example.sh HOST_EXAMPLE TAPLINE_DEVICE
set -euo pipefail
example="$1"
device="$2"
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/device.sh"
start_device "$device" --json

"$example" 127.0.0.1 "$port" >"$work/example.out" 2>"$work/example.err" </dev/null
stop_device

fail() { echo "host example: $*" >&2; cat "$work/decoded" >&2; exit 1; }
grep -q '^interface version 100$' "$work/example.out" || fail "no version line"
grep -q 'host message 1124: set_channel：usb' "$work/example.err" || fail "no host message"
# Every command reached the device on channel 0, with nothing malformed.
grep -q '"summary":{"frames":21,"bad_frames":0' "$work/decoded" || fail "frame count"
grep -q '"channel":1' "$work/decoded" && fail "a frame on channel 1"
for expected in '"pressed":\["a"\]' '"pressed":\["Enter"\]' '"name":"volume up"' \
                '"dx":10,"dy":-5' '"wheel":2' '"x":2047,"y":2047,"event":"down"' \
                '"x":379,"y":340,"event":"down"' '"held":\[\]'; do
  grep -q "$expected" "$work/decoded" || fail "missing $expected"
done
echo "host example: 21 frames decoded as sent"
