#!/usr/bin/env bash
# The module's decoders in the module: one large file per method (MSZIP,
# lzx:21, quantum:21) packed alone, extracted by the module under Wine and by
# `cabsfx-tool extract` natively. The module's decoding time is its wall time
# less its start-up (the median run of a package of one small file), so that
# what is left is reading, decoding and writing one file; the native tool's is
# its whole run. Medians of 3, sides interleaved, outputs compared with cmp.
#
#   tests/bench/decode_wine.sh [BUILD] [win64|win32]
#
# BUILD (default build) must hold win32/cabsfx.exe and host/tools/cabsfx-tool
# (see extract_wine.sh for the commands). The file: BENCH_MIB MiB (default
# 96) of C headers and 32-bit Windows libraries (x86 code, which lzx:21 packs
# with call translation) from make_corpus.sh, half and half.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build}
arch=${2:-win64}
mib=${BENCH_MIB:-96}
[[ "$build" = /* ]] || build=$root/$build
stub=$build/win32/cabsfx.exe
tool=$build/host/tools/cabsfx-tool
for f in "$stub" "$tool"; do
  if [[ ! -x "$f" ]]; then
    echo "decode_wine.sh: missing $f; build it first (see extract_wine.sh)" >&2
    exit 2
  fi
done
for cmd in Xvfb wine wineserver bc python3; do
  command -v "$cmd" >/dev/null || { echo "decode_wine.sh: $cmd not found" >&2; exit 2; }
done

source "$root/tests/e2e/wineenv.sh"
wineenv_bench_start decode_wine.sh "$build/bench-decode-wine" "$arch"
prefix=$CABSFX_WINE_ROOT/$arch
drive=$WINEENV_DRIVE
work=$WINEENV_WORK

bash "$here/make_corpus.sh" "$work/corpus" large >/dev/null
mkdir -p "$work/one" "$work/tiny"
# Half text, half programs, the text first.
# 12 MiB of each, repeated up to the size: a repeat lies beyond every window,
# so it costs each method what the first pass did.
cat "$work/corpus/comctl32.dll" "$work/corpus/user32.dll" "$work/corpus/gdi32.dll" >"$work/programs"
{ head -c $((12 << 20)) "$work/corpus/include.txt"; head -c $((12 << 20)) "$work/programs"; } >"$work/base"
python3 -c 'import sys; b = open(sys.argv[1], "rb").read(); n = int(sys.argv[2]) << 20
open(sys.argv[3], "wb").write((b * (n // len(b) + 1))[:n])' "$work/base" "$mib" "$work/one/data.bin"
echo "one small file" >"$work/tiny/readme.txt"
bytes=$(stat -c %s "$work/one/data.bin")

win_path() { echo "C:${1#"$prefix/drive_c"}" | tr / '\\'; }
methods=(mszip lzx:21 quantum:21)
for m in "${methods[@]}"; do
  "$tool" pack -q --stub "$stub" -o "$drive/${m%%:*}.exe" --compress "$m" --no-dialog --no-confirm \
    --no-open-folder --destination "$(win_path "$drive/out")" "$work/one"
done
"$tool" pack -q --stub "$stub" -o "$drive/tiny.exe" --compress mszip --no-dialog --no-confirm \
  --no-open-folder --destination "$(win_path "$drive/tiny-out")" "$work/tiny"

timed() {  # wall seconds of one run
  local t0 t1 status=0
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || status=$?
  t1=$(date +%s.%N)
  ((status == 0)) || { echo "decode_wine.sh: '$*' failed ($status)" >&2; return 1; }
  echo "$t1 - $t0" | bc -l
}
run_wine() { timed env WINEPREFIX="$prefix" timeout -k 5 600 wine "$(win_path "$1")"; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

declare -A wine_runs native_runs
start_runs=()
for i in 1 2 3; do
  rm -rf "$drive/tiny-out"
  start_runs+=("$(run_wine "$drive/tiny.exe")")
  for m in "${methods[@]}"; do
    name=${m%%:*}
    rm -rf "$drive/out" "$work/native"
    wine_runs[$name]+=" $(run_wine "$drive/$name.exe")"
    cmp "$work/one/data.bin" "$drive/out/data.bin" || { echo "$m: module output differs" >&2; exit 1; }
    native_runs[$name]+=" $(timed "$tool" extract -q -d "$work/native" "$drive/$name.exe")"
    cmp "$work/one/data.bin" "$work/native/data.bin" || { echo "$m: native output differs" >&2; exit 1; }
  done
done

start=$(median "${start_runs[@]}")
printf 'file: %d bytes (C headers and 32-bit Windows libraries), prefix %s, %s\n' \
  "$bytes" "$arch" "$(wine --version)"
printf 'module start-up (one small file): %.2f s; module: %s bytes\n' "$start" "$(stat -c %s "$stub")"
printf '%-12s %10s %12s %12s %12s %10s\n' method package "module s" "module MB/s" "native MB/s" "module/native"
for m in "${methods[@]}"; do
  name=${m%%:*}
  # shellcheck disable=SC2086
  w=$(median ${wine_runs[$name]})
  # shellcheck disable=SC2086
  n=$(median ${native_runs[$name]})
  net=$(echo "$w - $start" | bc -l)
  printf '%-12s %10d %12.2f %12.1f %12.1f %10.2f\n' "$m" "$(stat -c %s "$drive/$name.exe")" "$net" \
    "$(echo "$bytes / $net / 1000000" | bc -l)" "$(echo "$bytes / $n / 1000000" | bc -l)" \
    "$(echo "$n / $net" | bc -l)"
done
printf 'load average %s on %s cores (shared machine: wall times include waiting)\n' \
  "$(cut -d' ' -f1-3 /proc/loadavg)" "$(nproc)"
