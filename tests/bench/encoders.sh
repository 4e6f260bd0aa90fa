#!/usr/bin/env bash
# Compressor speed and size: packs one corpus folder into a cabinet with each
# method (one folder, so one compressor runs on one core), checks it with
# `cabsfx-tool verify`, and prints size and speed (corpus bytes per second of
# user + system CPU time, median of RUNS) beside gzip -9 and xz -9 on the same
# bytes. With a second tool (e.g. a build of an earlier commit) both are run
# side by side and the speed and size ratios new / old are printed.
# Usage: encoders.sh TOOL [BASELINE_TOOL|-] [CORPUS_DIR] [RUNS]
#   CORPUS_DIR  default: a fresh `make_corpus.sh DIR large` (about 54 MB)
#   METHODS     environment: methods to time (default "mszip lzx:21 quantum:21")
set -euo pipefail
tool=${1:?usage: encoders.sh TOOL [BASELINE_TOOL|-] [CORPUS_DIR] [RUNS]}
base=${2:--}
corpus=${3:-}
runs=${4:-1}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$corpus" ]; then
  corpus=$work/corpus
  bash "$here/make_corpus.sh" "$corpus" large >/dev/null
fi
read -r -a methods <<<"${METHODS:-mszip lzx:21 quantum:21}"
bytes=$(cat "$corpus"/* | wc -c)

# cpu_seconds CMD...: user + system seconds of one run (output discarded).
cpu_seconds() {
  /usr/bin/time -o "$work/time" -f '%U %S' "$@" >/dev/null 2>&1
  awk '{ printf "%.3f", $1 + $2 }' "$work/time"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mbs() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.2f", b / s / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# measure NAME CMD...: sets size and seconds; CMD writes $work/out.
measure() {
  local name=$1 times=""
  shift
  for ((r = 0; r < runs; r++)); do
    rm -f "$work/out"
    times+=" $(cpu_seconds "$@")"
  done
  size=$(stat -c %s "$work/out")
  seconds=$(echo "$times" | median)
  printf '%-22s %12s %9s s %8s MB/s\n' "$name" "$size" "$seconds" "$(mbs "$seconds")"
}
declare -A size_of speed_of
echo "corpus: $corpus, $bytes bytes; CPU time, median of $runs"
measure "gzip -9" sh -c "cat '$corpus'/* | gzip -9 >'$work/out'"
gzip_size=$size
measure "xz -9" sh -c "cat '$corpus'/* | xz -9 >'$work/out'"
xz_size=$size
for m in "${methods[@]}"; do
  for which in new old; do
    t=$tool
    if [ $which = old ]; then
      [ "$base" = - ] && continue
      t=$base
    fi
    measure "$m ($which)" "$t" pack --cabinet-only --compress "$m" -o "$work/out" "$corpus"
    "$tool" verify "$work/out" >/dev/null || { echo "encoders.sh: $m ($which) does not verify" >&2; exit 1; }
    size_of[$m.$which]=$size
    speed_of[$m.$which]=$seconds
  done
done
echo
for m in "${methods[@]}"; do
  line="$m: size / gzip -9 $(ratio "${size_of[$m.new]}" "$gzip_size"), / xz -9 $(ratio "${size_of[$m.new]}" "$xz_size")"
  if [ "$base" != - ]; then
    line+="; new / old: size $(ratio "${size_of[$m.new]}" "${size_of[$m.old]}"), speed $(ratio "${speed_of[$m.old]}" "${speed_of[$m.new]}")"
  fi
  echo "$line"
done
