#!/usr/bin/env bash
# Starts a throwaway PostgreSQL server (pgtest allows 300 connections, so
# that a fleet of 200 can connect directly, or listen directly beside a
# pool) and PgBouncer in transaction mode with a pool of 10 in front of it,
# runs the fleet benchmark, stops both.
#   bench/run_scale_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
state=$(mktemp -d /tmp/korvane-scale-state.XXXXXX)
bouncer=$(mktemp -d /tmp/korvane-scale-bouncer.XXXXXX)
trap '"$top/scripts/pgtest" bouncer-stop "$bouncer"; "$top/scripts/pgtest" stop "$state";
      rm -rf "$state" "$bouncer"' EXIT
"$top/scripts/pgtest" start "$state" >/dev/null
"$top/scripts/pgtest" bouncer "$bouncer" "$state" 10 >/dev/null
"$build/bench/scale_bench" "$(cat "$state/conninfo")" "$(cat "$bouncer/conninfo")" "${2:-3}" \
    "$top/scripts/pgtest restart $state fast"
