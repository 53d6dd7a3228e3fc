#!/usr/bin/env bash
# Installs the build into a throwaway prefix and builds a C host against the installed
# header, library and pkg-config file only, then checks the library's export list.
# Usage: run_api_test.sh BUILD_DIR SOURCE_DIR [extra C flags...]
set -euo pipefail
build_dir="$1"
source_dir="$2"
shift 2
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name libtapline.so -print -quit)")"
export PKG_CONFIG_PATH="$libdir/pkgconfig"

cc -std=c11 -Wall -Wextra -Werror "$@" -o "$prefix/api_test" "$source_dir/tests/api/api_test.c" \
  $(pkg-config --cflags --libs tapline)
LD_LIBRARY_PATH="$libdir" "$prefix/api_test" </dev/null

# Exactly the documented names: nothing missing, nothing of the internals leaking.
expected="$(sort "$source_dir/tests/api/exported_symbols.txt")"
actual="$(nm -D --defined-only "$libdir/libtapline.so" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort)"
if [[ "$expected" != "$actual" ]]; then
  echo "export list differs (< expected, > exported):" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "export list: $(echo "$actual" | wc -l) names, as documented"
