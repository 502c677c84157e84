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
trap 'stop_simulated_device; rm -rf "$work"' EXIT
trap 'exit 0' INT TERM

start_simulated_device "$work" --pattern circle
echo "Device daemon running; the demo prints the active handset's position (Ctrl-C ends):"
if [ "$seconds" -gt 0 ]; then
    timeout "$seconds" build/tavro-demo || true
else
    build/tavro-demo
fi
