#!/usr/bin/env bash
# A 3 GiB file through cabsfx-tool: refused at once without a set (and the
# time that takes), then packed into a cabinet set, verified and extracted
# byte for byte, each step timed. With --wine the package is also extracted by
# the module under Wine and compared.
#
#   bash tests/bench/big_file.sh [--wine] [--keep] [--size BYTES] [BUILD]
#
# BUILD (default build) must hold host/tools/cabsfx-tool (a Release build
# is the one to time) and, for --wine, win32/cabsfx.exe. The work folder
# (about 3 times the size on disk, 4 times with --wine) is made under
# ${TMPDIR:-/tmp} and removed at the end (kept with --keep).
set -euo pipefail

wine_run=0
keep=0
size=$((3 * 1024 * 1024 * 1024))
build=build
while [[ $# -gt 0 ]]; do
  case "$1" in
    --wine) wine_run=1 ;;
    --keep) keep=1 ;;
    --size) size=$2; shift ;;
    *) build=$1 ;;
  esac
  shift
done
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$build" && pwd)
tool=$build/host/tools/cabsfx-tool
stub=$build/win32/cabsfx.exe
[[ -x "$tool" ]] || { echo "big_file: $tool is missing" >&2; exit 1; }
if ((wine_run)) && [[ ! -f "$stub" ]]; then
  echo "big_file: $stub is missing (needed for --wine)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/cabsfx-big.XXXXXX")
cleanup() { if ((keep)); then echo "kept $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT
mkdir -p "$work/in" "$work/out"

# Half noise, half text, in 1 MiB pieces: the compressor has work to do and
# a wrong byte anywhere shows in the comparison.
python3 - "$work/in/big.bin" "$size" <<'EOF'
import os, sys
path, size = sys.argv[1], int(sys.argv[2])
text = b"".join(b"line %08d of the large file\n" % i for i in range(40000))[: 1 << 20]
with open(path, "wb") as f:
    done = 0
    while done < size:
        piece = os.urandom(1 << 20) if (done >> 20) % 2 else text
        piece = piece[: size - done]
        f.write(piece)
        done += len(piece)
EOF

timed() {  # timed NAME COMMAND...: runs it, prints and keeps its seconds
  local name=$1 start end
  shift
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  printf '%-44s %8.2f s\n' "$name" "$(echo "$end - $start" | bc)"
}

refused() {
  if "$tool" pack -q -o "$work/one.cab" --cabinet-only "$work/in" 2>"$work/refusal.txt"; then
    echo "big_file: a single cabinet was accepted" >&2
    exit 1
  fi
  grep -q -- "--max-cabinet-size" "$work/refusal.txt"
}

echo "file: $size bytes; tool: $tool"
timed "pack refused without a set" refused
sed 's/^/  /' "$work/refusal.txt"
timed "pack (mszip, --max-cabinet-size 1G)" \
  "$tool" pack -q -o "$work/set.cab" --cabinet-only --max-cabinet-size 1G "$work/in"
ls -l "$work"/*.cab | awk '{print "  " $5 "  " $9}'
timed "verify" "$tool" verify -q "$work/set.cab"
timed "extract" "$tool" extract -q "$work/set.cab" -d "$work/out"
timed "compare" cmp "$work/in/big.bin" "$work/out/big.bin"
rm -rf "$work/out"

if ((wine_run)); then
  rm -f "$work"/*.cab
  mkdir -p "$work/pkg" "$work/wine-out"
  "$tool" pack -q -o "$work/pkg/big.exe" --stub "$stub" --max-cabinet-size 1G --no-dialog \
    --no-open-folder --no-confirm --destination "Z:${work//\//\\}\\wine-out" "$work/in"
  # shellcheck source=tests/e2e/wineenv.sh
  source "$repo/tests/e2e/wineenv.sh"
  wineenv_start "$build" win64 >"$work/wineenv.log" 2>&1
  trap 'wineenv_stop; cleanup' EXIT
  export WINEPREFIX=$CABSFX_PREFIX64
  # Never piped: the wine server would keep the pipe open.
  run_module() { wine "$work/pkg/big.exe" >"$work/wine.log" 2>&1; }
  timed "module under Wine" run_module
  timed "compare" cmp "$work/in/big.bin" "$work/wine-out/big.bin"
fi
echo "OK"
