#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then the unit tests under
# clang (thread-safety analysis, AddressSanitizer with leak detection,
# UndefinedBehaviorSanitizer), the fuzzer (bounded), the unit tests under
# ThreadSanitizer, and last the whole suite (unit and process tests) on the
# default build.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every source as .clang-format lays it out.
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror

# One clang build: it fails where a guarded field is touched without its lock,
# and runs the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
# with leak detection, then the fuzzer (bounded).
scripts/setup.sh clang
ctest --preset clang -j2 --timeout 300
scripts/fuzz.sh "${QUILLTAP_FUZZ_SECONDS:-20}"

scripts/setup.sh tsan
ctest --preset tsan -j2 --timeout 300

scripts/setup.sh default
ctest --preset default -j2 --timeout 900
