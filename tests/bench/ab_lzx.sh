#!/usr/bin/env bash
# LZX decoding, one revision of src/codecs/lzx.cpp against another, in one
# process (ab_lzx.cpp): for each link order (which decoder comes first in the
# program) and each code alignment (the compiler's, and functions and loops
# at 64 bytes), the median speed ratio NEW/OLD, then their mean. Where the two
# builds sit in memory moves a single comparison by a few per cent either
# way; the four together cancel most of that.
# Usage: ab_lzx.sh BUILD OLD NEW ROUNDS FILE...
#   BUILD  a native Release build (its libcabwriter.a encodes the files)
#   OLD, NEW  git revisions, or "worktree" for the file as it is now (both
#             built against the work tree's headers)
set -euo pipefail
build=$(cd "${1:?usage: ab_lzx.sh BUILD OLD NEW ROUNDS FILE...}" && pwd)
old=${2:?} new=${3:?} rounds=${4:?}
shift 4
[ $# -gt 0 ] || { echo "ab_lzx.sh: no files" >&2; exit 2; }
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source_of() {  # REV OUT
  if [ "$1" = worktree ]; then cp "$root/src/codecs/lzx.cpp" "$2"; else git -C "$root" show "$1:src/codecs/lzx.cpp" > "$2"; fi
}
source_of "$old" "$work/old.cpp"
source_of "$new" "$work/new.cpp"

compile() {  # SOURCE PREFIX ALIGN OUT
  local names=()
  for n in LzxCreate LzxDecompress LzxReset LzxDestroy LzxDecoder LzxState; do names+=("-D$n=$2$n"); done
  g++ -std=c++20 -O3 -DNDEBUG $3 -I"$root/src" "${names[@]}" -c "$1" -o "$4"
}
link() {  # OUT
  g++ -std=c++20 -O3 -I"$root/src" -I"$root/tools" -o "$1" "$root/tests/bench/ab_lzx.cpp" \
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
