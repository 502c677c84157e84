#!/bin/sh
# The calculation pipeline, the design it replaced and the current one side
# by side on the same streams in one run:
#   - tavrod's processor time (utime + stime from /proc/PID/stat, which
#     counts threads that have ended too) with the simulator at 4 handsets x
#     160 Hz (640 tracking packets/s), at 1 handset x 60 Hz and with a
#     silent receiver, as a share of one core; its most threads;
#   - a flood (the simulator's recorded stream replayed at once, in a loop):
#     most threads and resident memory growth;
#   - the time from SIGTERM to tavrod's exit, silent receiver and flood;
#   - in-process figures (bench/pipeline_order.cpp built against each tree):
#     out-of-order passes, lost button updates, latency.
#   - the current tavrod thread by thread at 60 and 640 packets/s (run time
#     from /proc/PID/task/TID/schedstat, in ns, and wake-ups), which shows
#     where its processor time goes;
#   - the floor beside them (bench/pipeline_floor.cpp): the processor time of
#     a program that only reads the tty and moves the pointer as the default
#     motion does, which no design of the daemon can go below;
#   - the work per tracking packet of all three, which does not depend on how
#     fast the machine is: system calls and context switches (perf stat's
#     software counters) and user-space instructions (callgrind), at 60 and
#     640 packets/s.  Left out, with a line that says so, where perf or
#     valgrind is not installed;
#   - what this machine charges for a system call and a wake-up
#     (bench/wake_cost.cpp), the price of that work.
# The previous design is built from git (commit OLD, default 7709e18) in a
# worktree under /tmp, never inside the checkout.
#
# Usage: bench/pipeline_bench.sh NEW_BUILD_DIR [OLD_COMMIT] [SECONDS]
# Runs in a private IPC namespace with a temporary HOME and its own Xvfb.
set -eu

NEW_BUILD=${1:?usage: pipeline_bench.sh NEW_BUILD_DIR [OLD_COMMIT] [SECONDS]}
OLD=${2:-7709e18}
SECONDS_PER_RUN=${3:-10}
SRC=$(cd "$(dirname "$0")/.." && pwd)
OLD_TREE=${TAVRO_OLD_TREE:-/tmp/tavro-old-$OLD}
OLD_BUILD=${TAVRO_OLD_BUILD:-/tmp/tavro-old-$OLD-build}

if [ "${TAVRO_BENCH_INSIDE:-}" != 1 ]; then
    if [ ! -d "$OLD_TREE" ]; then
        git -C "$SRC" worktree add --detach "$OLD_TREE" "$OLD" >/dev/null
    fi
    # ccache, where installed, makes a rerun's build of the old tree instant.
    launcher=
    command -v ccache >/dev/null && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    cmake -S "$OLD_TREE" -B "$OLD_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher >/dev/null
    ninja -C "$OLD_BUILD" tavrod >/dev/null
    # The in-process bench, the same source against each tree.
    for tree in old new; do
        if [ $tree = old ]; then s=$OLD_TREE b=$OLD_BUILD; else s=$SRC b=$NEW_BUILD; fi
        g++ -std=c++17 -O2 -o "/tmp/tavro-pipeline-order-$tree" "$SRC/bench/pipeline_order.cpp" \
            -I"$s/core" -I"$s/linux" -L"$b" -Wl,-rpath,"$b" -lTavroLinux -lTavroCore -lpthread
    done
    g++ -std=c++17 -O2 -o /tmp/tavro-pipeline-floor "$SRC/bench/pipeline_floor.cpp" -lX11 -lX11-xcb -lxcb
    g++ -std=c++17 -O2 -pthread -o /tmp/tavro-wake-cost "$SRC/bench/wake_cost.cpp"
    export TAVRO_BENCH_INSIDE=1 OLD_BUILD
    if [ "$(id -u)" = 0 ]; then exec unshare --ipc sh "$0" "$@"; fi
    exec unshare --user --map-root-user --ipc sh "$0" "$@"
fi

HOME=$(mktemp -d /tmp/tavro-bench-home.XXXXXX)
export HOME
WORK=$HOME
cleanup() {
    for p in $(cat "$WORK"/pids 2>/dev/null); do kill "$p" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A private X server.
. "$SRC/bench/bench_common.sh"
start_private_xvfb
DISPLAY=$BENCH_DISPLAY
export DISPLAY

SIM=$NEW_BUILD/tools/tavro-sim/tavro-sim
# The counters of the work per packet, where they can be read here.
PERF=
if command -v perf >/dev/null && perf stat -e raw_syscalls:sys_enter,context-switches true >/dev/null 2>&1; then
    PERF=perf
fi
CALLGRIND=
command -v valgrind >/dev/null && command -v callgrind_control >/dev/null && CALLGRIND=valgrind
TICKS=$(getconf CLK_TCK)

threads() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }
now_ms() { date +%s%3N; }
# by_thread PID: "TID NAME RUN_NS WAKEUPS" for each thread alive now (a
# thread that ends meanwhile is left out).
by_thread() {
    for t in /proc/$1/task/*; do
        line=$(printf '%s %s %s %s' "${t##*/}" "$(cat "$t/comm")" "$(awk '{print $1}' "$t/schedstat")" \
            "$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status")" 2>/dev/null) || continue
        set -- $line
        [ $# -eq 4 ] && echo "$line"
    done | sort
}

# start_sim ARGS...: the simulator on a pty; sets SIM_PID and TTY.
start_sim() {
    # Own sessions: neither program's signals reach this script.
    setsid "$SIM" "$@" >"$WORK/sim.out" 2>/dev/null &
    SIM_PID=$!
    echo $SIM_PID >>"$WORK/pids"
    for _ in $(seq 100); do [ -s "$WORK/sim.out" ] && break; sleep 0.02; done
    TTY=$(head -n1 "$WORK/sim.out")
}

# launch BINARY [WRAPPER...]: tavrod BINARY on $TTY in its own session,
# under WRAPPER when given; BINARY "floor" is bench/pipeline_floor.cpp.
# Sets pid.
launch() {
    binary=$1
    shift
    if [ "$binary" = floor ]; then
        setsid "$@" /tmp/tavro-pipeline-floor "$TTY" >/dev/null 2>"$WORK/daemon.err" &
    else
        setsid "$@" "$binary" --device "$TTY" >/dev/null 2>"$WORK/daemon.err" &
    fi
    pid=$!
}

# run_daemon BINARY: BINARY (as launch takes it) for the run's time; sets
# CPU (% of one core), THREADS (most), RSS_GROWTH (KiB from 1 s in to the
# end), STOP_MS.
run_daemon() {
    launch "$1"
    sleep 1
    if ! kill -0 $pid 2>/dev/null; then
        echo "pipeline_bench: $1 ended at once:" >&2
        cat "$WORK/daemon.err" >&2
        exit 1
    fi
    t0=$(cpu_ticks $pid); r0=$(rss_kib $pid); most=$(threads $pid)
    [ "${WATCH_THREADS:-0}" = 1 ] && by_thread $pid >"$WORK/threads0"
    end=$(( $(now_ms) + SECONDS_PER_RUN * 1000 ))
    while [ "$(now_ms)" -lt $end ]; do
        n=$(threads $pid 2>/dev/null || echo 0); [ "${n:-0}" -gt "$most" ] && most=$n
        sleep 0.05
    done
    t1=$(cpu_ticks $pid); r1=$(rss_kib $pid)
    if [ "${WATCH_THREADS:-0}" = 1 ]; then
        by_thread $pid >"$WORK/threads1"
        # Threads alive through the whole run: ms of processor time and
        # wake-ups per second (join: TID NAME RUN0 WAKE0 NAME RUN1 WAKE1).
        BY_THREAD=$(join "$WORK/threads0" "$WORK/threads1" | awk -v s="$SECONDS_PER_RUN" \
            '{t += $6 - $3; printf "  %-16s %10.2f %10.0f\n", $2, ($6 - $3) / 1e6 / s, ($7 - $4) / s}
             END {printf "  %-16s %10.2f\n", "all", t / 1e6 / s}')
    fi
    CPU=$(awk -v d=$((t1 - t0)) -v hz="$TICKS" -v s="$SECONDS_PER_RUN" 'BEGIN {printf "%.2f", 100 * d / hz / s}')
    THREADS=$most
    RSS_GROWTH=$((r1 - r0))
    s0=$(now_ms)
    kill -TERM $pid
    wait $pid 2>/dev/null || true
    STOP_MS=$(( $(now_ms) - s0 ))
}

# count_work BINARY PACKETS_PER_S: the work per tracking packet of BINARY
# ("floor" for the floor) on $TTY, in two runs: system calls and context
# switches of all its threads over the run (perf stat's software counters,
# which cost next to nothing), then user-space instructions (callgrind,
# counted from 6 s in, once valgrind has translated the code).  Sets
# SYSCALLS, SWITCHES, INSTRUCTIONS (per packet, or "-" when the tool is
# missing).
count_work() {
    SYSCALLS=- SWITCHES=- INSTRUCTIONS=-
    packets=$(($2 * SECONDS_PER_RUN))
    if [ -n "$PERF" ]; then
        launch "$1"
        sleep 1
        "$PERF" stat -x, -e raw_syscalls:sys_enter,context-switches -p $pid -o "$WORK/perf.csv" \
            -- sleep "$SECONDS_PER_RUN" 2>/dev/null || true
        kill -TERM $pid; wait $pid 2>/dev/null || true
        SYSCALLS=$(awk -F, -v n=$packets '/sys_enter/ {printf "%.2f", $1 / n}' "$WORK/perf.csv")
        SWITCHES=$(awk -F, -v n=$packets '/context-switches/ {printf "%.2f", $1 / n}' "$WORK/perf.csv")
    fi
    if [ -n "$CALLGRIND" ]; then
        launch "$1" valgrind --tool=callgrind --callgrind-out-file="$WORK/cg.out"
        sleep 6
        callgrind_control -z $pid >/dev/null 2>&1
        sleep "$SECONDS_PER_RUN"
        callgrind_control -d $pid >/dev/null 2>&1
        kill -TERM $pid; wait $pid 2>/dev/null || true
        # The dump's total: its "summary:" line.
        INSTRUCTIONS=$(cat "$WORK"/cg.out.* 2>/dev/null | awk -v n=$packets \
            '/^summary:/ {t = $2} END {if (t != "") printf "%.0f", t / n; else print "-"}')
        rm -f "$WORK"/cg.out*
    fi
}

# The flood: tracking packets of 4 handsets sweeping across the screen,
# replayed far faster than the line carries, as fast as the tty takes them.
python3 - "$WORK/flood.bin" <<'PY'
import struct, sys
out = bytearray()
for n in range(4000):
    user = n % 4
    x = 12000 + 37 * ((n // 4) % 200)
    words = (0x9FFF | (user << 13), x, 14400, 50, x - 4000, 14400, 50)
    out += b"QV\x01\x0e" + struct.pack(">7H", *words)
open(sys.argv[1], "wb").write(out)
PY

for design in old new; do
    if [ $design = old ]; then d=$OLD_BUILD/tools/tavrod/tavrod; else d=$NEW_BUILD/tools/tavrod/tavrod; fi
    # Thread by thread only for the current design, whose threads last the run.
    [ $design = new ] && WATCH_THREADS=1
    start_sim --handsets 4 --rate 160; run_daemon "$d"; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
    eval "cpu640_$design=$CPU threads640_$design=$THREADS"
    [ $design = new ] && by_thread640=$BY_THREAD
    start_sim --handsets 1 --rate 60; run_daemon "$d"; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
    eval "cpu60_$design=$CPU threads60_$design=$THREADS"
    [ $design = new ] && by_thread60=$BY_THREAD
    WATCH_THREADS=0
    start_sim --rate 0; run_daemon "$d"; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
    eval "cpuidle_$design=$CPU stopsilent_$design=$STOP_MS"
    # 20000 packets/s: far beyond the line; the pty takes what it can.
    start_sim --replay "$WORK/flood.bin" --replay-rate 20000 --loop; run_daemon "$d"
    # Blocked on a full tty once nobody reads it: SIGTERM would wait forever.
    kill -KILL $SIM_PID; wait $SIM_PID 2>/dev/null || true
    eval "threadsflood_$design=$THREADS rssflood_$design=$RSS_GROWTH stopflood_$design=$STOP_MS"
done

# The floor: only the CPU figures mean anything for it.
start_sim --handsets 4 --rate 160; run_daemon floor; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
cpu640_floor=$CPU
start_sim --handsets 1 --rate 60; run_daemon floor; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
cpu60_floor=$CPU
start_sim --rate 0; run_daemon floor; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
cpuidle_floor=$CPU

# The work per packet of the three.
for design in old new floor; do
    case $design in
        old) d=$OLD_BUILD/tools/tavrod/tavrod ;;
        new) d=$NEW_BUILD/tools/tavrod/tavrod ;;
        *) d=floor ;;
    esac
    start_sim --handsets 4 --rate 160; count_work "$d" 640; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
    eval "sys640_$design=$SYSCALLS switch640_$design=$SWITCHES ins640_$design=$INSTRUCTIONS"
    start_sim --handsets 1 --rate 60; count_work "$d" 60; kill $SIM_PID; wait $SIM_PID 2>/dev/null || true
    eval "sys60_$design=$SYSCALLS switch60_$design=$SWITCHES ins60_$design=$INSTRUCTIONS"
done

printf '\ntavrod against tavro-sim, %s s per run, old = %s, new = this checkout\n\n' "$SECONDS_PER_RUN" "$OLD"
printf '%-44s %12s %12s %12s\n' "figure" "old" "new" "floor"
printf '%-44s %11s%% %11s%% %11s%%\n' "CPU, 4 handsets x 160 Hz (640 packets/s)" "$cpu640_old" "$cpu640_new" "$cpu640_floor"
printf '%-44s %11s%% %11s%% %11s%%\n' "CPU, 1 handset x 60 Hz" "$cpu60_old" "$cpu60_new" "$cpu60_floor"
printf '%-44s %11s%% %11s%% %11s%%\n' "CPU, silent receiver (idle)" "$cpuidle_old" "$cpuidle_new" "$cpuidle_floor"
printf '%-44s %12s %12s\n' "threads (most), 60 packets/s" "$threads60_old" "$threads60_new"
printf '%-44s %12s %12s\n' "threads (most), 640 packets/s" "$threads640_old" "$threads640_new"
printf '%-44s %12s %12s\n' "threads (most), flood" "$threadsflood_old" "$threadsflood_new"
printf '%-44s %12s %12s\n' "resident memory growth in the flood, KiB" "$rssflood_old" "$rssflood_new"
printf '%-44s %12s %12s\n' "SIGTERM to exit, silent receiver, ms" "$stopsilent_old" "$stopsilent_new"
printf '%-44s %12s %12s\n' "SIGTERM to exit, flood, ms" "$stopflood_old" "$stopflood_new"

printf '\nWork per tracking packet, whatever the machine (perf stat, callgrind)\n\n'
printf '%-44s %12s %12s %12s\n' "figure" "old" "new" "floor"
printf '%-44s %12s %12s %12s\n' "system calls, 640 packets/s" "$sys640_old" "$sys640_new" "$sys640_floor"
printf '%-44s %12s %12s %12s\n' "context switches, 640 packets/s" "$switch640_old" "$switch640_new" "$switch640_floor"
printf '%-44s %12s %12s %12s\n' "user-space instructions, 640 packets/s" "$ins640_old" "$ins640_new" "$ins640_floor"
printf '%-44s %12s %12s %12s\n' "system calls, 60 packets/s" "$sys60_old" "$sys60_new" "$sys60_floor"
printf '%-44s %12s %12s %12s\n' "context switches, 60 packets/s" "$switch60_old" "$switch60_new" "$switch60_floor"
printf '%-44s %12s %12s %12s\n' "user-space instructions, 60 packets/s" "$ins60_old" "$ins60_new" "$ins60_floor"
[ -n "$PERF" ] || echo "(system calls and context switches left out: perf cannot count here; apt-get install linux-perf)"
[ -n "$CALLGRIND" ] || echo "(instructions left out: valgrind is not installed; apt-get install valgrind)"
printf '\nWhat this machine charges, processor time of the thread (bench/wake_cost.cpp)\n\n'
/tmp/tavro-wake-cost

printf '\nIn one process (bench/pipeline_order.cpp), Xvfb, 300 packets of handset 0 each\n\n'
printf '%-10s %19s %17s %17s %9s %9s %9s %9s\n' "design" "out of order" "lost (bursts)" "lost (zoom held)" \
    "p50 ms" "p99 ms" "framed50" "framed99"
/tmp/tavro-pipeline-order-old old
/tmp/tavro-pipeline-order-new new

printf '\nThe current tavrod thread by thread (threads that ran the whole run)\n'
printf '\n  %-16s %10s %10s\n' "60 packets/s" "ms/s" "wake-ups/s"
printf '%s\n' "$by_thread60"
printf '\n  %-16s %10s %10s\n' "640 packets/s" "ms/s" "wake-ups/s"
printf '%s\n' "$by_thread640"
