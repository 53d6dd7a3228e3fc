#!/usr/bin/env bash
# Screen search figures: ours on a 1920x1080 Xvfb screen (with the Damage extension, so
# grabs read only what changed, and without it, so each grab reads everything), on the
# picture source, and OpenCV's template matching on the same images, in one run.
#   bench/run_screen_bench.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
bench="$build/bench/bench_screen"
[[ -x $bench ]] || cmake --build "$build" --target bench_screen >&2

work="$(mktemp -d /tmp/tapline_screen_bench.XXXXXX)"
xvfb_pid=""
cleanup() {
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts an Xvfb with the given options; it picks a free display itself and writes its
# number once it accepts clients. Sets xvfb_pid and display.
start_xvfb() {
  rm -f "$work/display"
  Xvfb -displayfd 1 -noreset -nolisten tcp "$@" -screen 0 1920x1080x24 >"$work/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
  display=":$(head -n1 "$work/display")"
}
stop_xvfb() {
  kill "$xvfb_pid"
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
start_xvfb
DISPLAY="$display" "$bench" "$work" x11
stop_xvfb
echo "(the same without the Damage extension: every grab reads the whole rectangle)"
start_xvfb -extension DAMAGE
DISPLAY="$display" "$bench" "$work" x11
stop_xvfb
"$bench" "$work" picture
echo "== OpenCV on the same images"
echo "noisy screen, pattern near the bottom right:"
/usr/bin/python3 "$root/bench/opencv_match.py" "$work/screen_noisy.bmp" "$work/pattern_noisy.bmp" 10
echo "flat screen:"
/usr/bin/python3 "$root/bench/opencv_match.py" "$work/screen_flat.bmp" "$work/pattern_flat.bmp" 10
