#!/usr/bin/env bash
# Starts a throwaway PostgreSQL server, runs the round-trip benchmark
# against it through a delaying relay, and stops the server again.
#   bench/run_rtt_bench.sh [BUILD_DIR] [ONE_WAY_US]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
state=$(mktemp -d /tmp/korvane-bench-state.XXXXXX)
trap '"$top/scripts/pgtest" stop "$state"; rm -rf "$state"' EXIT
"$top/scripts/pgtest" start "$state" >/dev/null
# shellcheck disable=SC1091
. "$state/env"
"$build/bench/rtt_bench" "$(cat "$state/conninfo")" "$PGPORT_NUM" ${2:+"$2"}
