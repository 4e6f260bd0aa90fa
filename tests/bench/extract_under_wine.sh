#!/usr/bin/env bash
# Wall time of a package's extraction under Wine (progress window, worker
# thread, messages) against `cabsfx-tool extract` of the same package natively.
#
#   tests/bench/extract_under_wine.sh [BUILD] [MiB]
#
# BUILD (default build) holds win32/cabsfx.exe, win32/tests/e2e/uidriver.exe
# and host/tools/cabsfx-tool. The package is MSZIP, MiB (default 100) of mixed
# text, noise and zeros (about half of it noise), extracted three times each way; the best times count.
# Wine's own start-up is measured with a stub that has nothing appended and is
# reported beside the ratio, because it does not depend on the package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-build}
size=${2:-100}
[[ "$build" = /* ]] || build=$root/$build
stub=$build/win32/cabsfx.exe
driver=$build/win32/tests/e2e/uidriver.exe
tool=$build/host/tools/cabsfx-tool
for f in "$stub" "$driver" "$tool"; do
  [[ -e "$f" ]] || { echo "missing $f" >&2; exit 2; }
done

source "$root/tests/e2e/wineenv.sh"
mkdir -p "$build/bench-wine"
wineenv_start "$build/bench-wine" win64 || exit 2
work=$CABSFX_PREFIX64/drive_c/bench
rm -rf "$work"
mkdir -p "$work/source"

python3 - "$work/source" "$size" <<'EOF'
import os, random, sys
folder, mib = sys.argv[1], int(sys.argv[2])
text = b"".join(b"line %d of a text file, some words, some numbers %d\r\n" % (i, i * 7)
                for i in range(100000))
noise = random.Random(1).randbytes(6 << 20)
piece = text + noise + bytes(2 << 20)
total = mib << 20
written = 0
index = 0
while written < total:
    data = piece[: min(len(piece), total - written)]
    with open(os.path.join(folder, f"part{index:03d}.bin"), "wb") as f:
        f.write(data)
    written += len(data)
    index += 1
EOF

win() { echo "C:${1#"$CABSFX_PREFIX64/drive_c"}" | tr / '\\'; }
out=$work/out
"$tool" pack --stub "$stub" -o "$work/pkg.exe" --compress mszip --no-dialog --no-open-folder \
  --no-confirm --destination "$(win "$out")" "$work/source" >/dev/null
cp "$stub" "$work/empty.exe"

best() { sort -n | head -1; }
now() { date +%s.%N; }
wine_run() {
  local start
  start=$(now)
  WINEPREFIX=$CABSFX_PREFIX64 wine "$driver" exec "\"$(win "$1")\"" >/dev/null 2>&1
  echo "$(now) - $start" | bc -l
}

times_wine=()
times_start=()
times_native=()
for _ in 1 2 3; do
  rm -rf "$out"
  times_wine+=("$(wine_run "$work/pkg.exe")")
  cmp -s "$work/source/part000.bin" "$out/part000.bin" || { echo "extraction under Wine failed" >&2; exit 1; }
  times_start+=("$(wine_run "$work/empty.exe")")
  rm -rf "$work/native"
  start=$(now)
  "$tool" extract "$work/pkg.exe" -d "$work/native" >/dev/null
  times_native+=("$(echo "$(now) - $start" | bc -l)")
done
wine_best=$(printf '%s\n' "${times_wine[@]}" | best)
start_best=$(printf '%s\n' "${times_start[@]}" | best)
native_best=$(printf '%s\n' "${times_native[@]}" | best)
printf 'package: %d MiB MSZIP, %s bytes\n' "$size" "$(stat -c %s "$work/pkg.exe")"
printf 'module under Wine:        %.2f s (Wine start-up alone %.2f s)\n' "$wine_best" "$start_best"
printf 'cabsfx-tool extract:      %.2f s\n' "$native_best"
printf 'ratio:                    %.2f\n' "$(echo "$wine_best / $native_best" | bc -l)"
printf 'ratio without Wine start: %.2f\n' "$(echo "($wine_best - $start_best) / $native_best" | bc -l)"
rm -rf "$work"
