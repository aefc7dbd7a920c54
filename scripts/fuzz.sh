#!/usr/bin/env bash
# Builds the libFuzzer target (the `clang` preset: AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a bounded time on its corpus.
# Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/setup.sh clang >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp tests/fuzz/corpus/* "$work/"
echo "fuzzing for ${seconds}s"
status=0
build/clang/tests/fuzz/inputs_fuzz -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  "$work" >"$work.log" 2>&1 || status=$?
grep -E '^(stat::number_of_executed_units|stat::peak_rss|==[0-9]+==|SUMMARY)' "$work.log" || true
rm -f "$work.log"
if [ "$status" -ne 0 ]; then
  echo "the fuzzer failed (status $status)"
  exit 1
fi
