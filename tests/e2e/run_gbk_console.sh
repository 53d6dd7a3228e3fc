#!/usr/bin/env bash
# Under a GBK locale the console program writes its messages as GBK bytes, and script text
# (GBK as well) is typed by its GBK codes. Usage: run_gbk_console.sh TAPLINE
set -euo pipefail
tapline="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A private compiled locale: the machine need not have zh_CN.GBK generated.
if ! localedef -i zh_CN -f GBK "$work/zh_CN.GBK" 2>"$work/localedef.err"; then
  echo "localedef could not build zh_CN.GBK:" >&2
  cat "$work/localedef.err" >&2
  exit 1
fi
gbk() { LOCPATH="$work" LC_ALL=zh_CN.GBK "$@"; }

printf 'printf("%%s\\n", "脚本")\n' | iconv -f UTF-8 -t GBK >"$work/script.lua"
gbk "$tapline" "$work/script.lua" net 127.0.0.1 9 >"$work/out" </dev/null
expected="$(printf 'Sep 27 2022\n使用UDP通信\nnetwork:127.0.0.1:9\n开始运行。。。global:printf\n脚本\n运行结束\n' |
  iconv -f UTF-8 -t GBK | od -An -tx1)"
actual="$(od -An -tx1 <"$work/out")"
if [[ "$expected" != "$actual" ]]; then
  echo "console bytes under GBK differ:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi

# A missing script named in GBK: the message is GBK, the path exactly as given.
missing="$(printf '不存在.lua' | iconv -f UTF-8 -t GBK)"
status=0
gbk "$tapline" "$missing" >"$work/out2" </dev/null || status=$?
[[ $status -eq 255 ]] || { echo "missing file: status $status" >&2; exit 1; }
expected2="$(printf 'Sep 27 2022\n脚本文件不存在请确认路径:不存在.lua\n' | iconv -f UTF-8 -t GBK | od -An -tx1)"
[[ "$(od -An -tx1 <"$work/out2")" == "$expected2" ]] || { echo "missing-file line differs" >&2; exit 1; }
echo "GBK console: messages and script text as GBK bytes"
