#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then clang's
# thread-safety analysis (a build), the unit tests under ThreadSanitizer and
# under AddressSanitizer with leak detection, the fuzzers (bounded), and last
# the whole suite (unit and process tests) on the default build.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every source as .clang-format lays it out.
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror

# Fails the build where a guarded field is touched without its lock.
scripts/setup.sh clang

scripts/setup.sh tsan
ctest --preset tsan -j2 --timeout 300 -L unit

scripts/setup.sh asan
ASAN_OPTIONS=detect_leaks=1 ctest --preset asan -j2 --timeout 300 -L unit

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh "${QUILLTAP_FUZZ_SECONDS:-45}"
fi

scripts/setup.sh default
ctest --preset default -j2 --timeout 900
