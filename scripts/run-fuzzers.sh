#!/usr/bin/env bash
# run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]: runs each fuzz target (all of
# them, or those named) for SECONDS, starting from its seeds: the XML
# fixtures of the tests for the XML and settings targets, fuzz/corpus/<target>
# and the findings kept in fuzz/regressions/<target>, and for the receiver's
# stream the recorded sessions of tests/data/streams.  Developers run longer
# sessions the same way, for example: scripts/run-fuzzers.sh build-fuzz 3600
# A failure prints the fuzzer's report and the input, which belongs in
# fuzz/regressions/<target>/ once the fault is fixed.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
shift 2 2>/dev/null || shift $#
root=$(cd "$(dirname "$0")/.." && pwd)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for fuzzer in "$build"/fuzz/fuzz_*; do
        [ -x "$fuzzer" ] && targets+=("$(basename "$fuzzer")")
    done
fi

for name in "${targets[@]}"; do
    fuzzer=$build/fuzz/$name
    [ -x "$fuzzer" ] || { echo "no fuzz target $fuzzer (build with -DTAVRO_BUILD_FUZZERS=ON)" >&2; exit 1; }
    corpus=$(mktemp -d "/tmp/tavro-$name-XXXXXX")
    case $name in
        fuzz_xml_*|fuzz_settings_*)
            find "$root/tests/data" -name '*.xml' -exec cp {} "$corpus/" \; 2>/dev/null || true ;;
        fuzz_receiver_stream)
            # Whole sessions are long; the fuzzer starts from 1000-byte pieces.
            for stream in "$root"/tests/data/streams/*.bin; do
                [ -f "$stream" ] && split -b 1000 -d "$stream" "$corpus/$(basename "$stream" .bin)-"
            done ;;
    esac
    for kept in "$root/fuzz/corpus/$name" "$root/fuzz/regressions/$name"; do
        [ -d "$kept" ] && cp "$kept"/* "$corpus/" 2>/dev/null || true
    done
    case $name in
        fuzz_receiver_stream) max_len=1100 ;;
        fuzz_packet_decoder) max_len=600 ;;
        fuzz_calculation_pass) max_len=400 ;;
        *) max_len=4096 ;;
    esac
    echo "-- $name for ${seconds}s"
    log="$corpus.log"
    # -close_fd_mask=3 silences the targets' own output (reports of bad input,
    # key names printed by the key handlers); the fuzzer's messages and any
    # crash report still come through.
    if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
            -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$corpus-" "$corpus" >"$log" 2>&1; then
        cat "$log"
        ls "$corpus"-* 2>/dev/null | grep -v '\.log$' || true
        echo "$name found a failure" >&2
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 3 "$log"
    rm -rf "$corpus" "$log"
done
