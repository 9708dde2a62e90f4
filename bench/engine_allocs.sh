#!/usr/bin/env bash
# Counts the engine's heap allocations for two conversations of different
# lengths under valgrind: equal counts mean nothing is allocated per request.
#   bench/engine_allocs.sh BUILD_DIR
set -euo pipefail
harness=${1:-build}/tests/proto_harness
conversation() {
    printf 'config|ready\n'
    for i in $(seq 1 "$1"); do
        printf 'table|0.1|1|t|check|alias|c%d|user%d@example.org\n' "$i" "$i"
        printf 'table|0.1|1|t|lookup|mailaddrmap|l%d|user%d@example.org\n' "$i" "$i"
        printf 'table|0.1|1|t|fetch|source|f%d\n' "$i"
    done
}
for n in 1000 10000; do
    allocs=$(conversation "$n" | valgrind "$harness" 2>&1 >/dev/null |
        sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p')
    echo "$((n * 3)) requests: $allocs allocations"
done
