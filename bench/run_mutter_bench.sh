#!/usr/bin/env bash
# GNOME screen figures on a private headless mutter (1280x720 virtual monitor) with its own
# session bus, PipeWire and WirePlumber, all ended by pid afterwards.
#   bench/run_mutter_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
bench="$build/bench/bench_mutter_screen"
[[ -x $bench ]] || cmake --build "$build" --target bench_mutter_screen >&2

work="$(mktemp -d /tmp/tapline_mutter_bench.XXXXXX)"
chmod 700 "$work"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR="$work" HOME="$work" GSETTINGS_BACKEND=memory XDG_CURRENT_DESKTOP=GNOME
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
unset DISPLAY WAYLAND_DISPLAY
wait_for() { for _ in $(seq 300); do [[ -e $1 ]] && return; sleep 0.1; done; echo "no $1" >&2; exit 1; }
dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" 2>"$work/dbus.log" &
pids+=($!)
wait_for "$work/bus"
pipewire 2>"$work/pipewire.log" &
pids+=($!)
wait_for "$work/pipewire-0"
wireplumber 2>"$work/wireplumber.log" &
pids+=($!)
mutter --headless --wayland --no-x11 --virtual-monitor 1280x720 >/dev/null 2>"$work/mutter.log" &
pids+=($!)
wait_for "$work/wayland-0"
sleep 1  # the screen cast service comes up just after the Wayland socket

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
WAYLAND_DISPLAY="$work/wayland-0" "$bench" "${2:-200}"
