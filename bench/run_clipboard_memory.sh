#!/usr/bin/env bash
# The clipboard's serving process's memory: a script searches and saves a large Xvfb screen
# (the screen buffers it keeps), sets a one-word clipboard text and sleeps; the serving
# process's memory (kB, /proc/PID/smaps_rollup) is read while the script sleeps and again
# after it has ended.
#   bench/run_clipboard_memory.sh [TAPLINE [SCREEN]]   (default build/tapline, 7680x4320x24)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tapline="${1:-$root/build/tapline}"
screen="${2:-7680x4320x24}"

work="$(mktemp -d /tmp/tapline_clipboard_bench.XXXXXX)"
xvfb_pid=""
cleanup() {
  # The serving process ends with its display.
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 1 -noreset -nolisten tcp -screen 0 "$screen" >"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
display=":$(head -n1 "$work/display")"

cat >"$work/script.lua" <<LUA
FindColor(0x010203)
CaptureScreen('$work/screen.bmp')
SetClipBoard('word')
io.open('$work/set', 'w'):close()
sleep(3000)
LUA

# The serving process on this display: ours by its name and its environment.
server() {
  for e in /proc/[0-9]*/environ; do
    p="${e%/environ}"
    [[ $(cat "$p/comm" 2>/dev/null) == tapline-clipboa ]] || continue
    tr '\0' '\n' <"$e" 2>/dev/null | grep -qx "DISPLAY=$display" && echo "${p#/proc/}"
  done
}
memory() {
  awk '/^(Rss|Private_Clean|Private_Dirty|Anonymous):/ { printf "%s %s  ", $1, $2 } END { print "" }' \
    "/proc/$1/smaps_rollup"
}

DISPLAY="$display" "$tapline" "$work/script.lua" net 127.0.0.1 9 >/dev/null 2>"$work/err" &
script_pid=$!
for _ in $(seq 300); do [[ -e $work/set ]] && break; sleep 0.1; done
pid="$(server)"
echo "screen $screen"
echo "script while it sleeps:        $(memory "$script_pid")"
echo "serving process, script alive: $(memory "$pid")"
wait "$script_pid" || true
echo "serving process, script ended: $(memory "$pid")"
