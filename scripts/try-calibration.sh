#!/usr/bin/env bash
# Calibration without hardware: a simulated handset aims at the four corner
# targets and presses the centre key at each; tavro-calibrate fits and shows
# the calibration.  Nothing is stored unless --store is given.
set -euo pipefail
source "$(dirname "$0")/common.sh"

case "${1:-}" in
    -h|--help)
        cat <<'USAGE'
Usage: scripts/try-calibration.sh [--store]
       scripts/try-calibration.sh --help | --version

Tries the calibration without hardware: builds the kit into build/, starts a
simulated receiver whose handset aims at the four corner targets and presses
the centre key at each, the device daemon, and tavro-calibrate, which fits
and shows the calibration.  Nothing is saved unless --store is given.
USAGE
        exit 0 ;;
    -V|--version) echo "try-calibration.sh (Tavro) $(tavro_version)"; exit 0 ;;
    ''|--store) ;;
    *) echo "try-calibration.sh: unknown argument \"$1\" (see --help)" >&2; exit 2 ;;
esac
ensure_packages "${TAVRO_PACKAGES[@]}"
cd "$TAVRO_ROOT"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

store=--dry-run
[ "${1:-}" = "--store" ] && store=

work=$(mktemp -d /tmp/tavro-calibration-XXXXXX)
trap 'stop_simulated_device; rm -rf "$work"' EXIT

start_simulated_device "$work" --script tools/tavro-sim/examples/calibration-aims.script
build/tools/tavro-calibrate/tavro-calibrate --no-window --targets 4 --timeout 20 $store
