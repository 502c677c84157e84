# Shared by the shell benchmarks; sourced, not run.  Each runs in a private
# IPC namespace with a temporary HOME ($WORK), and lists in $WORK/pids the
# processes its clean-up ends.

# Starts a private X server (Xvfb, 1920 x 1080) and sets BENCH_DISPLAY to
# its name, once it is ready.
start_private_xvfb() {
    exec 3>"$WORK/displayfd"
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
    echo $! >>"$WORK/pids"
    exec 3>&-
    for _ in $(seq 100); do [ -s "$WORK/displayfd" ] && break; sleep 0.05; done
    BENCH_DISPLAY=:$(cat "$WORK/displayfd")
}

# The processor time (utime + stime, in clock ticks) of process $1 so far,
# with the threads that have ended.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Its resident memory in KiB.
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
