#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from the seed corpus in the
# repository; new inputs and any crash go to a scratch directory, and any
# finding fails the run (libFuzzer's exit status).
#   run_fuzzer.sh TARGET SEED_DIR SECONDS
set -euo pipefail
target=$1 seeds=$2 seconds=$3
work=$(mktemp -d /tmp/korvane-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
status=0
"$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$work/" "$work/corpus" "$seeds" >"$work/log" 2>&1 || status=$?
grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^Done' "$work/log" || true
if [ $status -ne 0 ]; then
    tail -n 60 "$work/log"
    for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
        [ -e "$crash" ] && { echo "== $crash"; od -c "$crash" | head -20; }
    done
fi
exit $status
