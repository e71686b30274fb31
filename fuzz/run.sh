#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build (`make fuzz`) for an equal share of SECONDS, growing
# its corpus in <build>/fuzz/corpus from the seeds the build made. A crash, a sanitizer report,
# a broken property, a leak or an input slower than 30 s fails, and keeps the input in
# <build>/fuzz/artifacts.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR [SECONDS]}
total=${2:-240}
targets=(model_bytes model_file program load_map sim_boards learning)
each=$(( total / ${#targets[@]} ))
(( each >= 1 )) || each=1
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
mkdir -p "$build/fuzz/artifacts"
for t in "${targets[@]}"; do
  corpus=$build/fuzz/corpus/$t
  log=$build/fuzz/$t.log
  mkdir -p "$corpus"
  if ! "$build/fuzz/fuzz_$t" -max_total_time="$each" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/fuzz/artifacts/$t-" "$corpus" "$build/fuzz/seeds/$t" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz_$t found a fault; the input is in $build/fuzz/artifacts/"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz_$t: ${runs:-0} inputs in ${each}s, no fault"
done
echo "fuzz: ${#targets[@]} targets, no fault"
