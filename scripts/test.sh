#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then the ThreadSanitizer
# run of the capture, writer and failover tests, the fuzzers (bounded), and
# last the whole suite (unit and process tests) on the default build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh tsan
# Threads meet in capture, the writer queues, failover, finish and the control channel.
ctest --preset tsan -j2 --timeout 300 \
  -R '(BufferProcessing|Failover|Writer|FullDrive|RecentTest|Startup|ControlChannel|DeviceChange|Progress|MainQueue|SerialQueue)' \
  -E 'TimesOut'

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh "${QUILLTAP_FUZZ_SECONDS:-45}"
fi

scripts/setup.sh default
ctest --preset default -j2 --timeout 900
