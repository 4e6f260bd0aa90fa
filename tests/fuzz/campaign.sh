#!/usr/bin/env bash
# Fuzzing campaign: every target (or those named), each for SECONDS, at the
# lowest priority, from the committed corpus with the format dictionary; JOBS
# targets at a time (default 1: one core), each its own process. New inputs
# stay in WORK/corpus/TARGET; crashes go to WORK/findings/TARGET;
# WORK/summary.txt gets one line per target: runs, seconds, runs per second,
# and "finding" when the target stopped on one ("interrupted" when killed).
# Meant to run in the background:
#   nohup bash tests/fuzz/campaign.sh build/fuzz 3600 /tmp/campaign > /tmp/campaign.log 2>&1 &
# Usage: [JOBS=N] campaign.sh BUILD_DIR SECONDS WORK [TARGET...]
set -uo pipefail
build=$1
seconds=$2
work=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$build"/tests/fuzz/fuzz_*; do [ -x "$t" ] && targets+=("$(basename "$t")"); done
fi
jobs=${JOBS:-1}
mkdir -p "$work"
run_target() {
  local name=$1
  local corpus=$work/corpus/$name findings=$work/findings/$name log=$work/$name.log
  local start status elapsed runs
  mkdir -p "$corpus" "$findings"
  [ -d "$here/corpus/$name" ] && cp -rn "$here/corpus/$name/." "$corpus/"
  start=$(date +%s)
  nice -n 19 "$build/tests/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -dict="$here/cab.dict" -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" > "$log" 2>&1
  status=$?
  elapsed=$(( $(date +%s) - start ))
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  runs=${runs:-0}
  # 72: stopped by a signal (libFuzzer's -interrupted_exitcode). Slow units
  # (slow-unit-*) are kept in the findings folder but are not failures.
  local outcome=""
  if [ "$status" -eq 72 ]; then
    outcome=" interrupted"
  elif [ "$status" -ne 0 ]; then
    outcome=" finding"
  fi
  echo "$name runs=$runs seconds=$elapsed per_second=$(( runs / (elapsed > 0 ? elapsed : 1) ))$outcome" >> "$work/summary.txt"
}
running=0
for name in "${targets[@]}"; do
  if ((running >= jobs)); then
    wait -n
    running=$((running - 1))
  fi
  run_target "$name" &
  running=$((running + 1))
done
wait
