#!/usr/bin/env bash
# MoveD over 400 pixels on the desktop device: a private 1920x1080 Xvfb (which accelerates
# the pointer as X does by default: twice as far for reports beyond 4 units), the software
# device injecting into it, and the console program reading the same screen's cursor.
# For steps 1, 2 and 5: the time MoveD took, its passes and where it ended.
#   bench/run_moved_bench.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
[[ -x $build/tapline && -x $build/tools/device/tapline-device ]] ||
  cmake --build "$build" --target tapline tapline-device >&2

work="$(mktemp -d /tmp/tapline_moved_bench.XXXXXX)"
xvfb_pid="" device_pid=""
cleanup() {
  for pid in $device_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 1 -noreset -nolisten tcp -screen 0 1920x1080x24 >"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

"$build/tools/device/tapline-device" --inject x11 --listen 127.0.0.1:0 >/dev/null 2>"$work/device" &
device_pid=$!
for _ in $(seq 100); do grep -q listening "$work/device" && break; sleep 0.1; done
port="$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/device")"

echo "machine: $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
printf '%-5s %10s %7s %12s\n' step time passes "ends at"
for step in 1 2 5; do
  cat >"$work/moved.lua" <<LUA
MoveTo(100, 300)
sleep(100)
local start = GetTimeStamp()
MoveD(500, 300, $step)
local x, y = GetMousePosition()
printf("result %d %d %d\n", GetTimeStamp() - start, x, y)
LUA
  "$build/tapline" "$work/moved.lua" net 127.0.0.1 "$port" >"$work/out" 2>"$work/err"
  read -r ms x y < <(sed -n 's/.*result //p' "$work/out")
  passes="$(grep -o '当前坐标' "$work/err" | wc -l)"
  printf '%-5s %8s ms %7s %12s\n' "$step" "$ms" "$passes" "$x,$y"
done
