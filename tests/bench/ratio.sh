#!/usr/bin/env bash
# Compression-ratio table: for each corpus file and in total, the original
# size, gzip -9, xz -9, and cabinets written by cabsfx-tool (one file per
# cabinet, so the cabinet's own few dozen bytes are included) with mszip,
# lzx:21 and quantum:21. Each cabinet is checked with `cabsfx-tool verify`.
# Usage: ratio.sh TOOL [CORPUS_DIR]
#   TOOL        path of cabsfx-tool (built natively)
#   CORPUS_DIR  default: a fresh one from make_corpus.sh
set -euo pipefail
tool=${1:?usage: ratio.sh TOOL [CORPUS_DIR]}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus=${2:-}
if [ -z "$corpus" ]; then
  corpus=$work/corpus
  bash "$here/make_corpus.sh" "$corpus" >/dev/null
fi

# Cabinet size for one method, or "-" when the tool cannot write it.
cab_size() {  # cab_size FILE METHOD
  local out=$work/out.cab
  rm -f "$out"
  if "$tool" pack --cabinet-only --compress "$2" -o "$out" "$1" >/dev/null 2>&1 &&
    "$tool" verify "$out" >/dev/null 2>&1; then
    stat -c %s "$out"
  else
    echo "-"
  fi
}

methods=(mszip lzx:21 quantum:21)
printf '%-18s %10s %10s %10s %10s %10s %10s\n' file original gzip-9 xz-9 mszip lzx:21 quantum
declare -A total
for f in "$corpus"/*; do
  [ -f "$f" ] || continue
  row=("$(stat -c %s "$f")" "$(gzip -9c "$f" | wc -c)" "$(xz -9c "$f" | wc -c)")
  for m in "${methods[@]}"; do row+=("$(cab_size "$f" "$m")"); done
  printf '%-18s %10s %10s %10s %10s %10s %10s\n' "$(basename "$f")" "${row[@]}"
  for i in "${!row[@]}"; do
    if [ "${total[$i]:-0}" != "-" ] && [ "${row[$i]}" != "-" ]; then
      total[$i]=$((${total[$i]:-0} + row[i]))
    else
      total[$i]="-"
    fi
  done
done
printf '%-18s %10s %10s %10s %10s %10s %10s\n' TOTAL "${total[0]}" "${total[1]}" "${total[2]}" \
  "${total[3]}" "${total[4]}" "${total[5]}"
ratio() {  # ratio A B: A / B with three decimals
  if [ "$1" = "-" ] || [ "$2" = "-" ]; then echo "-"; else
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'
  fi
}
echo
echo "lzx:21 / gzip -9: $(ratio "${total[4]}" "${total[1]}")   lzx:21 / xz -9: $(ratio "${total[4]}" "${total[2]}")"
echo "quantum / gzip -9: $(ratio "${total[5]}" "${total[1]}")   quantum / xz -9: $(ratio "${total[5]}" "${total[2]}")"
