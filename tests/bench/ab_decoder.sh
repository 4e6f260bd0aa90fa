#!/usr/bin/env bash
# LZX or Quantum decoding, one revision of the decoder's source against
# another, in one process (ab_decoder.cpp): for each link order (which decoder
# comes first in the program) and each code alignment (the compiler's, and
# functions and loops at 64 bytes), the median speed ratio NEW/OLD, then their
# mean. Where the two builds sit in memory moves a single comparison by a few
# per cent either way; the four together cancel most of that.
# Usage: ab_decoder.sh BUILD lzx|quantum OLD NEW ROUNDS FILE...
#   BUILD  a native Release build (its libcabwriter.a encodes the files with
#          the method at window 21)
#   OLD, NEW  git revisions, or "worktree" for the source as it is now (both
#             built against the work tree's headers)
set -euo pipefail
usage="usage: ab_decoder.sh BUILD lzx|quantum OLD NEW ROUNDS FILE..."
build=$(cd "${1:?$usage}" && pwd)
method=${2:?$usage} old=${3:?$usage} new=${4:?$usage} rounds=${5:?$usage}
shift 5
[ $# -gt 0 ] || { echo "ab_decoder.sh: no files" >&2; exit 2; }
case $method in
  lzx) names=(LzxCreate LzxDecompress LzxReset LzxDestroy LzxDecoder LzxState) define= ;;
  quantum) names=(QuantumCreate QuantumDecompress QuantumReset QuantumDestroy QuantumDecoder)
    define=-DAB_QUANTUM ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source_of() {  # REV OUT
  if [ "$1" = worktree ]; then cp "$root/src/codecs/$method.cpp" "$2"; else git -C "$root" show "$1:src/codecs/$method.cpp" > "$2"; fi
}
source_of "$old" "$work/old.cpp"
source_of "$new" "$work/new.cpp"

compile() {  # SOURCE PREFIX ALIGN OUT
  local renames=()
  for n in "${names[@]}"; do renames+=("-D$n=$2$n"); done
  g++ -std=c++20 -O3 -DNDEBUG $3 -I"$root/src" "${renames[@]}" -c "$1" -o "$4"
}
link() {  # OUT
  g++ -std=c++20 -O3 -I"$root/src" -I"$root/tools" -o "$1" $define "$root/tests/bench/ab_decoder.cpp" \
    "$work/a.o" "$work/b.o" "$build/tools/libcabwriter.a" "$build/libcabsfx_portable.a" -lz -lpthread
}

ratios=()
for align in "" "-falign-functions=64 -falign-loops=64"; do
  # NEW as B: B/A is NEW/OLD.
  compile "$work/old.cpp" A "$align" "$work/a.o"
  compile "$work/new.cpp" B "$align" "$work/b.o"
  link "$work/new_second"
  r=$("$work/new_second" "$rounds" "$@")
  echo "align ${align:-default}, new linked second: new/old $r"
  ratios+=("${r%% *}")
  # NEW as A: B/A is OLD/NEW.
  compile "$work/new.cpp" A "$align" "$work/a.o"
  compile "$work/old.cpp" B "$align" "$work/b.o"
  link "$work/new_first"
  r=$("$work/new_first" "$rounds" "$@")
  echo "align ${align:-default}, new linked first: old/new $r"
  ratios+=("$(awk -v x="${r%% *}" 'BEGIN { printf "%.3f", 1 / x }')")
done
echo "new/old: ${ratios[*]}; mean $(printf '%s\n' "${ratios[@]}" | awk '{ s += $1 } END { printf "%.3f", s / NR }')"
