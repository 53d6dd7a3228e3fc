# Sourced by the end-to-end scripts: starts the software device on a free port of
# 127.0.0.1 and ends it again. Sets $work (a temporary directory), $device_pid and $port.
work="$(mktemp -d)"
device_pid=""
stop_device() {
  if [[ -n $device_pid ]]; then
    kill -TERM "$device_pid" 2>/dev/null || true
    wait "$device_pid" 2>/dev/null || true
    device_pid=""
  fi
}
trap 'stop_device; rm -rf "$work"' EXIT

# start_device DEVICE [options...]: decoded lines go to $work/decoded.
start_device() {
  # Made here: the first look below may come before the device's shell has opened it.
  : >"$work/device.err"
  "$@" --listen 127.0.0.1:0 >"$work/decoded" 2>"$work/device.err" &
  device_pid=$!
  for _ in $(seq 100); do
    port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/device.err")"
    [[ -n $port ]] && return 0
    sleep 0.05
  done
  echo "the software device did not start:" >&2
  cat "$work/device.err" >&2
  exit 1
}
