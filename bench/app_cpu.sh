#!/bin/sh
# The desktop app's processor time on its live page beside the terminal's
# live view, in the same run, with the simulator at 4 handsets x 160 Hz
# (640 tracking packets/s) and at 1 handset x 60 Hz:
#   - tavro-control --page handsets on an X server (Xvfb, Qt's xcb
#     platform: every frame is drawn and put on the screen) and on Qt's
#     offscreen platform;
#   - tavro status --watch at its default period (200 ms) and at the app's
#     frame period (16 ms), its output into a file;
# each as a share of one core (utime + stime from /proc/PID/stat over the
# measured seconds, after a second to settle), with the resident memory at
# the end.  tavrod's own share is shown too, for scale.
#
# Usage: bench/app_cpu.sh BUILD_DIR [SECONDS]
# Runs in a private IPC namespace with a temporary HOME and its own Xvfb.
set -eu

BUILD=$(cd "${1:?usage: app_cpu.sh BUILD_DIR [SECONDS]}" && pwd)
SECONDS_PER_RUN=${2:-10}

if [ "${TAVRO_BENCH_INSIDE:-}" != 1 ]; then
    export TAVRO_BENCH_INSIDE=1
    if [ "$(id -u)" = 0 ]; then exec unshare --ipc sh "$0" "$BUILD" "$SECONDS_PER_RUN"; fi
    exec unshare --user --map-root-user --ipc sh "$0" "$BUILD" "$SECONDS_PER_RUN"
fi

HOME=$(mktemp -d /tmp/tavro-bench-home.XXXXXX)
export HOME
unset XDG_CONFIG_HOME WAYLAND_DISPLAY
WORK=$HOME
cleanup() {
    for p in $(cat "$WORK"/pids 2>/dev/null); do kill "$p" 2>/dev/null || true; done
    sleep 0.2
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

. "$(dirname "$0")/bench_common.sh"
start_private_xvfb
XDISPLAY=$BENCH_DISPLAY

TICKS=$(getconf CLK_TCK)

# start_device HANDSETS RATE: the simulator and tavrod on its tty (its
# pointer goes to the private X server); sets DAEMON_PID.
start_device() {
    setsid "$BUILD/tools/tavro-sim/tavro-sim" --handsets "$1" --rate "$2" >"$WORK/sim.out" 2>/dev/null &
    echo $! >>"$WORK/pids"
    for _ in $(seq 100); do [ -s "$WORK/sim.out" ] && break; sleep 0.02; done
    : >"$WORK/tavrod.out"
    DISPLAY=$XDISPLAY setsid "$BUILD/tools/tavrod/tavrod" --device "$(head -n1 "$WORK/sim.out")" \
        --output x11 >"$WORK/tavrod.out" 2>&1 &
    DAEMON_PID=$!
    echo $DAEMON_PID >>"$WORK/pids"
    for _ in $(seq 100); do grep -q "running the receiver" "$WORK/tavrod.out" && break; sleep 0.05; done
}

# Ends the simulator and tavrod, and waits until they are gone: the next
# daemon would otherwise find this one still holding the record.
stop_device() {
    for p in $(cat "$WORK"/pids); do
        case $p in "$XVFB_PID") ;; *) kill "$p" 2>/dev/null || true ;; esac
    done
    for _ in $(seq 100); do
        # Gone, or ended and not yet reaped (a zombie).
        state=$(awk '{print $3}' "/proc/$DAEMON_PID/stat" 2>/dev/null || echo gone)
        [ "$state" = Z ] || [ "$state" = gone ] && break
        sleep 0.05
    done
    echo "$XVFB_PID" >"$WORK/pids"
}
XVFB_PID=$(head -n1 "$WORK/pids")

# measure NAME COMMAND...: starts COMMAND, lets it settle for a second, and
# prints its share of a core over SECONDS_PER_RUN, tavrod's, and its memory.
measure() {
    name=$1
    shift
    "$@" >"$WORK/client.out" 2>&1 &
    client=$!
    echo $client >>"$WORK/pids"
    sleep 1
    c0=$(cpu_ticks $client)
    d0=$(cpu_ticks "$DAEMON_PID")
    sleep "$SECONDS_PER_RUN"
    c1=$(cpu_ticks $client)
    d1=$(cpu_ticks "$DAEMON_PID")
    rss=$(rss_kib $client)
    kill $client 2>/dev/null || true
    wait $client 2>/dev/null || true
    awk -v n="$name" -v c=$((c1 - c0)) -v d=$((d1 - d0)) -v t="$TICKS" -v s="$SECONDS_PER_RUN" -v r="$rss" \
        'BEGIN { printf "| %-42s | %6.1f %% | %6.1f %% | %7.1f MiB |\n", n, 100 * c / t / s, 100 * d / t / s, r / 1024 }'
}

APP=$BUILD/app/tavro-control
TAVRO=$BUILD/tools/tavro/tavro
for load in "4 160" "1 60"; do
    set -- $load
    echo
    echo "Simulator: $1 handset(s) x $2 Hz, $SECONDS_PER_RUN s per client"
    echo
    echo "| client                                     | its core | tavrod's | memory      |"
    echo "|--------------------------------------------|----------|----------|-------------|"
    start_device "$1" "$2"
    measure "tavro-control, live page, xcb (Xvfb)" env DISPLAY="$XDISPLAY" "$APP" --page handsets
    measure "tavro-control, live page, offscreen" env QT_QPA_PLATFORM=offscreen "$APP" --page handsets
    measure "tavro status --watch (200 ms)" "$TAVRO" status --watch
    measure "tavro status --watch --interval 20" "$TAVRO" status --watch --interval 20
    stop_device
done
