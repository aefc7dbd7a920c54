#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time on its corpus. Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/setup.sh fuzz >/dev/null
for target in control_lines option_values safe_file_name; do
  work=$(mktemp -d)
  cp tests/fuzz/corpus/$target/* "$work/"
  echo "fuzzing $target for ${seconds}s"
  status=0
  build/fuzz/tests/fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    "$work" >"$work.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss|==[0-9]+==|SUMMARY)' "$work.log" || true
  rm -rf "$work" "$work.log"
  if [ "$status" -ne 0 ]; then
    echo "fuzzer $target failed (status $status)"
    exit 1
  fi
done
