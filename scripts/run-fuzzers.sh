#!/usr/bin/env bash
# run-fuzzers.sh BUILD_DIR SECONDS: runs every fuzz target for SECONDS,
# starting from the XML fixtures of the tests.  Developers run longer
# sessions the same way, for example: scripts/run-fuzzers.sh build-fuzz 3600
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
for fuzzer in "$build"/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus=$(mktemp -d "/tmp/tavro-$name-XXXXXX")
    find "$root/tests/data" -name '*.xml' -exec cp {} "$corpus/" \; 2>/dev/null || true
    echo "-- $name for ${seconds}s"
    log="$corpus.log"
    # -close_fd_mask=2 silences the targets' own reports of bad input; the
    # fuzzer's messages and any crash report still come through.
    if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
            -print_final_stats=1 "$corpus" >"$log" 2>&1; then
        cat "$log"
        echo "$name found a failure" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 3 "$log"
    rm -rf "$corpus" "$log"
done
