#!/usr/bin/env bash
# Runs every built fuzz target for a short while from the committed corpus
# with the format dictionary: smoke, not a campaign (see campaign.sh). The
# time is shared out so that all targets together take about as long as
# four targets of SECONDS each did.
# Usage: smoke.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
targets=()
for target in "$build"/tests/fuzz/fuzz_*; do [ -x "$target" ] && targets+=("$target"); done
each=$(( seconds * 4 / (${#targets[@]} > 0 ? ${#targets[@]} : 1) ))
[ "$each" -ge 1 ] || each=1
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  if [ -d "$here/corpus/$name" ]; then cp -r "$here/corpus/$name/." "$corpus/"; fi
  echo "fuzz: $name for ${each}s"
  "$target" -max_total_time="$each" -rss_limit_mb=2048 -dict="$here/cab.dict" \
    -print_final_stats=1 "$corpus" 2>&1 \
    | grep -E '^(stat::number_of_executed_units|INFO: Running|==.*ERROR|SUMMARY)' || true
  test "${PIPESTATUS[0]}" -eq 0
  rm -rf "$corpus"
done
