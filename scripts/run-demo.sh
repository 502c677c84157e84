#!/usr/bin/env bash
# The kit's main job without hardware: builds the kit, starts the receiver
# simulator on a pseudo-terminal, the device daemon on the simulator's tty,
# and the demo, which prints the active handset's position as it moves.
# Runs until Ctrl-C (or for SECONDS when given: scripts/run-demo.sh 10).
set -euo pipefail
source "$(dirname "$0")/common.sh"

case "${1:-}" in
    -h|--help)
        cat <<'USAGE'
Usage: scripts/run-demo.sh [SECONDS]
       scripts/run-demo.sh --app
       scripts/run-demo.sh --help | --version

Shows the kit working without hardware: installs what is missing (as root),
builds the kit into build/, starts a simulated receiver whose handset draws
a circle, the device daemon on it, and the demo, which prints where the
handset points ("X = 640, Y = 400") until Ctrl-C, or for SECONDS seconds.

  --app    on a desktop: open the desktop app tavro-control on a simulated
           receiver and a daemon of its own (tavro-control --demo) instead
USAGE
        exit 0 ;;
    --app)
        if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
            echo "run-demo.sh: --app opens a window and needs a desktop session (DISPLAY or WAYLAND_DISPLAY is not set); without one, run scripts/run-demo.sh" >&2
            exit 2
        fi
        ensure_packages "${TAVRO_PACKAGES[@]}"
        cd "$TAVRO_ROOT"
        build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        exec build/app/tavro-control --demo ;;
    -V|--version) echo "run-demo.sh (Tavro) $(tavro_version)"; exit 0 ;;
    '') ;;
    *)
        if ! [[ "$1" =~ ^[0-9]+$ ]]; then
            echo "run-demo.sh: SECONDS is a whole number of seconds, not \"$1\" (see --help)" >&2
            exit 2
        fi ;;
esac
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
