#!/usr/bin/env bash
# Calibration without hardware: a simulated handset aims at the four corner
# targets and presses the centre key at each; tavro-calibrate fits and shows
# the calibration.  Nothing is stored unless --store is given.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages "${TAVRO_PACKAGES[@]}"
cd "$TAVRO_ROOT"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

store=--dry-run
[ "${1:-}" = "--store" ] && store=

work=$(mktemp -d /tmp/tavro-calibration-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

build/tools/tavro-sim/tavro-sim --script tools/tavro-sim/examples/calibration-aims.script \
    --command-log "$work/commands.log" >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
done
tty=$(head -n 1 "$work/sim.out")
[ -n "$tty" ] || { echo "the receiver simulator did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }
build/tools/tavrod/tavrod --device "$tty" 2>"$work/tavrod.err" &
pids+=($!)
build/tools/tavro-calibrate/tavro-calibrate --no-window --targets 4 --timeout 20 $store
