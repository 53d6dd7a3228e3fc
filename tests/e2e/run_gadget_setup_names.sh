#!/usr/bin/env bash
# gadget-setup runs as root and builds configfs paths from the gadget name: a name that is
# not plain letters, digits, '_' and '-' is refused before anything is touched, and no
# part of it is ever run. Needs no configfs. Usage: run_gadget_setup_names.sh GADGET_SETUP
set -euo pipefail
setup="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

failed=0
# shellcheck disable=SC2016  # the names are meant to reach the script unexpanded
for name in 'x$(touch ran)' 'x`touch ran`' 'x;touch ran' 'a b' '../x' '.x' '' 'x"y'; do
  for action in up down show; do
    status=0
    "$setup" "$action" --name "$name" >out 2>err || status=$?
    expected="gadget-setup: a gadget name is letters, digits, '_' and '-' only, not \"$name\""
    if [[ $status -ne 1 || "$(cat err)" != "$expected" || -s out ]]; then
      echo "$action --name '$name': status $status, stderr: $(cat err)" >&2
      failed=1
    fi
    if [[ -e ran ]]; then
      echo "$action --name '$name' ran part of the name" >&2
      rm -f ran
      failed=1
    fi
  done
done

# A plain name passes the check (and, without that gadget, show says so).
status=0
"$setup" show --name Tap_line-2 >out 2>err || status=$?
if [[ $status -ne 1 || "$(cat err)" != 'gadget-setup: no gadget "Tap_line-2" (run gadget-setup up first)' ]]; then
  echo "show --name Tap_line-2: status $status, stderr: $(cat err)" >&2
  failed=1
fi

# No user text is ever evaluated as shell code.
if grep -nw eval "$setup" >&2; then
  echo "gadget-setup uses eval" >&2
  failed=1
fi
exit "$failed"
