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
trap 'stop_simulated_device; rm -rf "$work"' EXIT

start_simulated_device "$work" --script tools/tavro-sim/examples/calibration-aims.script
build/tools/tavro-calibrate/tavro-calibrate --no-window --targets 4 --timeout 20 $store
