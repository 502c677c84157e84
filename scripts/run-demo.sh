#!/usr/bin/env bash
# The kit's main job without hardware: builds the kit, starts the receiver
# simulator on a pseudo-terminal, the device daemon on the simulator's tty,
# and the demo, which prints the active handset's position as it moves.
# Runs until Ctrl-C (or for SECONDS when given: scripts/run-demo.sh 10).
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages "${TAVRO_PACKAGES[@]}"
cd "$TAVRO_ROOT"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

seconds=${1:-0}
work=$(mktemp -d /tmp/tavro-demo-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

build/tools/tavro-sim/tavro-sim --pattern circle --command-log "$work/commands.log" \
    >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
done
tty=$(head -n 1 "$work/sim.out")
[ -n "$tty" ] || { echo "the receiver simulator did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }
echo "Simulated receiver on $tty"

build/tools/tavrod/tavrod --device "$tty" 2>"$work/tavrod.err" &
pids+=($!)
sleep 0.5
if ! kill -0 "${pids[1]}" 2>/dev/null; then
    echo "the device daemon did not start:" >&2
    cat "$work/tavrod.err" >&2
    exit 1
fi
echo "Device daemon running; the demo prints the active handset's position (Ctrl-C ends):"

if [ "$seconds" -gt 0 ]; then
    timeout "$seconds" build/tavro-demo || true
else
    build/tavro-demo
fi
