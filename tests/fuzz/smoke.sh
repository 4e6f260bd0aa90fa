#!/usr/bin/env bash
# Runs every built fuzz target for a short while: smoke, not a campaign.
# Usage: smoke.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
for target in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=$(mktemp -d)
  # Seeds: a target may write its own seeds when run with -seed_corpus support;
  # committed seed folders live beside the sources.
  if [ -d "$here/seeds/$name" ]; then cp -r "$here/seeds/$name/." "$corpus/"; fi
  if [ -x "$build/tests/fuzz/make_seeds" ]; then "$build/tests/fuzz/make_seeds" "$name" "$corpus" || true; fi
  echo "fuzz: $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 "$corpus" 2>&1 \
    | grep -E '^(stat::number_of_executed_units|INFO: Running|==.*ERROR|SUMMARY)' || true
  test "${PIPESTATUS[0]}" -eq 0
  rm -rf "$corpus"
done
