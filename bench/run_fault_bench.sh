#!/usr/bin/env bash
# The fault suite's measurements: reply times against the deadline under
# each fault, and the reply times and connection attempts during an outage
# with the reconnect delay. The suite starts and stops its own server.
#   bench/run_fault_bench.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
ctest --test-dir "$build" -R 'pg_start|fault_test|pg_stop' -V 2>&1 |
    sed -n -E 's#^[0-9]+: ([a-z].*(ms|/s).*)$#\1#p'
