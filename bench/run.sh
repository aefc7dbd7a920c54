#!/usr/bin/env bash
# Installs what the measurements need (jack_capture as the peer), builds the bench preset,
# then runs bench/run.py with the given options (e.g. --quick, --output bench/table.md).
set -euo pipefail
cd "$(dirname "$0")/.."
QUILLTAP_EXTRA_PACKAGES=jack-capture scripts/setup.sh bench >&2
exec /usr/bin/python3 bench/run.py "$@"
