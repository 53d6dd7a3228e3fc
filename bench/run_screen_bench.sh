#!/usr/bin/env bash
# Screen search figures: ours on a 1920x1080 Xvfb screen and on the picture source, and
# OpenCV's template matching on the same images, in one run.
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

# Xvfb picks a free display itself and writes its number once it accepts clients.
Xvfb -displayfd 1 -noreset -nolisten tcp -screen 0 1920x1080x24 >"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
display=":$(head -n1 "$work/display")"

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
DISPLAY="$display" "$bench" "$work" x11
"$bench" "$work" picture
echo "== OpenCV on the same images"
echo "noisy screen, pattern near the bottom right:"
/usr/bin/python3 "$root/bench/opencv_match.py" "$work/screen_noisy.bmp" "$work/pattern_noisy.bmp" 10
echo "flat screen:"
/usr/bin/python3 "$root/bench/opencv_match.py" "$work/screen_flat.bmp" "$work/pattern_flat.bmp" 10
