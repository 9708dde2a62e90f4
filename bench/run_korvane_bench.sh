#!/usr/bin/env bash
# Starts a throwaway PostgreSQL server, runs the end-to-end benchmark and
# the cache benchmark against it and stops it again.
#   bench/run_korvane_bench.sh [BUILD_DIR] [REQUESTS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
state=$(mktemp -d /tmp/korvane-bench-state.XXXXXX)
trap '"$top/scripts/pgtest" stop "$state"; rm -rf "$state"' EXIT
"$top/scripts/pgtest" start "$state" >/dev/null
"$build/bench/korvane_bench" "$(cat "$state/conninfo")" "${2:-100000}"
"$build/bench/cache_bench" "$(cat "$state/conninfo")" "${2:-100000}"
