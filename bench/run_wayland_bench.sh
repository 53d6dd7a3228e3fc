#!/usr/bin/env bash
# Screen figures through Wayland: ours on a private headless sway with one 1920x1080 output
# showing a noisy picture, and grim writing a PPM of the same output, in one run.
#   bench/run_wayland_bench.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
bench="$build/bench/bench_wayland_screen"
tapline="$build/tapline"
[[ -x $bench ]] || cmake --build "$build" --target bench_wayland_screen >&2
[[ -x $tapline ]] || cmake --build "$build" --target tapline >&2

# sway refuses to run as root: then it runs as the tests' unprivileged user.
user="$(id -un)"
as_user=()
if [[ $(id -u) -eq 0 ]]; then
  user=tapline-test
  id "$user" >/dev/null 2>&1 ||
    useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$user"
  as_user=(setpriv --reuid "$user" --regid "$user" --init-groups)
fi

work="$(mktemp -d /tmp/tapline_wayland_bench.XXXXXX)"
chown "$user:" "$work"
chmod 755 "$work"
sway_pid=""
cleanup() {
  if [[ -n $sway_pid ]]; then kill "$sway_pid" 2>/dev/null || true; wait "$sway_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

printf 'output HEADLESS-1 resolution 1920x1080 position 0 0\nxwayland disable\n' >"$work/config"
env -u DISPLAY -u WAYLAND_DISPLAY -u SWAYSOCK XDG_RUNTIME_DIR="$work" HOME="$work" \
  WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=1 \
  "${as_user[@]}" sway -c "$work/config" >"$work/log" 2>&1 &
sway_pid=$!
for _ in $(seq 300); do
  compgen -G "$work/sway-ipc.*" >/dev/null && [[ -S $work/wayland-1 ]] && break
  sleep 0.1
done
export XDG_RUNTIME_DIR="$work" WAYLAND_DISPLAY="$work/wayland-1"
SWAYSOCK="$(compgen -G "$work/sway-ipc.*")"
export SWAYSOCK
unset DISPLAY

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
"$bench" "$work"

echo "== whole commands: a fresh whole-screen capture to a file"
printf 'CaptureScreen("%s/shot.bmp")\n' "$work" >"$work/capture.lua"
farm-bench -n 40 --vs "grim -t ppm $work/grim.ppm" -- \
  "$tapline" "$work/capture.lua" net 127.0.0.1 9
hyperfine -N --warmup 3 --runs 40 \
  "$tapline $work/capture.lua net 127.0.0.1 9" "grim -t ppm $work/grim.ppm"
