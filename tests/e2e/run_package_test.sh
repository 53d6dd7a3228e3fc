#!/usr/bin/env bash
# The Debian package of this build: cpack makes it, dpkg -x unpacks it into a scratch
# root, and the programs run from there. lintian, where installed, finds no errors.
# run_package_test.sh CPACK BUILD_DIR SOURCE_DIR WITH_WAYLAND (ON or OFF)
set -euo pipefail
cpack="$1"
build="$2"
source="$3"
with_wayland="$4"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack"; }
debs=("$scratch"/out/tapline_*_amd64.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "no single tapline_<version>_amd64.deb: ${debs[*]}"
deb="${debs[0]}"

# Dependencies come from the binaries, not from a list.
depends="$(dpkg-deb -f "$deb" Depends)"
for library in liblua5.3-0 libhidapi-hidraw0 libx11-6 libxtst6 libc6; do
  [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

# Libraries the programs load at run time are recommended: shlibdeps cannot see them.
recommends="$(dpkg-deb -f "$deb" Recommends)"
for library in libcurl4 libpipewire-0.3-0 libtesseract5 tesseract-ocr-eng; do
  [[ $recommends == *"$library"* ]] || fail "Recommends lacks $library: $recommends"
done

root="$scratch/root"
dpkg -x "$deb" "$root"
for file in usr/bin/tapline usr/bin/tapline-device usr/include/tapline.h \
  usr/share/tapline/lua/tapline.lua usr/share/man/man1/tapline.1.gz \
  usr/share/man/man1/tapline-device.1.gz usr/share/doc/tapline/copyright; do
  [[ -e $root/$file ]] || fail "$file is not in the package"
done
for file in libtapline.so.1 tapline.pc; do
  [[ -n $(find "$root/usr/lib" -name "$file") ]] || fail "$file is not in the package"
done

# KWin grants its screenshots and fake input to the programs these name by absolute path.
grep -qx "Exec=/usr/bin/tapline %f" "$root/usr/share/applications/tapline.desktop" ||
  fail "usr/share/applications/tapline.desktop does not name /usr/bin/tapline"
# The device's grant is for KWin's fake input, which only a build with Wayland support uses.
if [[ $with_wayland == ON ]]; then
  grep -qx "Exec=/usr/bin/tapline-device" "$root/usr/share/applications/tapline-device.desktop" ||
    fail "usr/share/applications/tapline-device.desktop does not name /usr/bin/tapline-device"
elif [[ -e $root/usr/share/applications/tapline-device.desktop ]]; then
  fail "a build without Wayland support grants the device KWin's fake input"
fi

"$root/usr/bin/tapline" --check "$source"/examples/*.lua || fail "tapline --check from the package"
# Through a file: grep -q stops reading at the first line, and a help text longer than one
# pipe write would end the program with SIGPIPE.
"$root/usr/bin/tapline-device" --help >"$scratch/help" &&
  grep -q "^Usage: tapline-device" "$scratch/help" || fail "tapline-device --help from the package"
# The packaged definitions are the ones the checked-out build generates.
cmp -s "$root/usr/share/tapline/lua/tapline.lua" "$build/share/tapline/lua/tapline.lua" ||
  fail "packaged editor definitions differ from the build's"

if command -v lintian >/dev/null; then
  # Errors only; the warnings of one package holding programs and library are expected.
  if lintian --tag-display-limit 0 "$deb" 2>/dev/null | grep '^E:'; then fail "lintian errors"; fi
fi
echo "package test passed: $(basename "$deb")"
