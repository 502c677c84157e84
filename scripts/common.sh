# Shared by the README's two commands: installs what is missing and builds.
# Sourced, not run.

TAVRO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages the kit needs to build, run and test on Debian 12.
TAVRO_PACKAGES=(build-essential cmake ninja-build pkg-config libx11-dev libx11-xcb-dev libxtst-dev
                libgtest-dev libgmock-dev libbenchmark-dev xvfb x11-utils clang
                util-linux procps libtinyxml2-dev python3 python3-pytest mypy
                libevdev-dev libxkbcommon-dev xkb-data
                qemu-system-x86 busybox-static udev libinput-tools sway seatd wev
                dpkg-dev lintian man-db)
# The desktop app (tavro-control, built unless -DTAVRO_BUILD_APP=OFF), and
# the validators of its desktop file and metainfo, and the session bus its
# tray icon's tests start.
TAVRO_APP_PACKAGES=(qt6-base-dev desktop-file-utils appstream dbus-daemon)
if [ "${TAVRO_BUILD_APP:-ON}" != OFF ]; then
    TAVRO_PACKAGES+=("${TAVRO_APP_PACKAGES[@]}")
fi

ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "Missing packages: ${missing[*]}. Install them as root: apt-get install ${missing[*]}" >&2
        return 1
    fi
    echo "Installing ${missing[*]} ..."
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build DIR [cmake options...]: configures (once) and builds with two jobs.
build() {
    local dir=$1
    shift
    cmake -S "$TAVRO_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j2
}

# start_simulated_device WORKDIR [tavro-sim options...]: starts the receiver
# simulator on a pseudo-terminal and the device daemon on its tty (run from
# the source tree after `build build`).  Their process ids are kept in
# TAVRO_PIDS for stop_simulated_device.
TAVRO_PIDS=()
start_simulated_device() {
    local work=$1
    shift
    build/tools/tavro-sim/tavro-sim "$@" --command-log "$work/commands.log" \
        >"$work/sim.out" 2>"$work/sim.err" &
    TAVRO_PIDS+=($!)
    local _
    for _ in $(seq 100); do
        [ -s "$work/sim.out" ] && break
        sleep 0.05
    done
    local tty
    tty=$(head -n 1 "$work/sim.out")
    if [ -z "$tty" ]; then
        echo "the receiver simulator did not start:" >&2
        cat "$work/sim.err" >&2
        return 1
    fi
    echo "Simulated receiver on $tty"
    build/tools/tavrod/tavrod --device "$tty" 2>"$work/tavrod.err" &
    TAVRO_PIDS+=($!)
    sleep 0.5
    if ! kill -0 "$!" 2>/dev/null; then
        echo "the device daemon did not start:" >&2
        cat "$work/tavrod.err" >&2
        return 1
    fi
}

# Stops them in the reverse order of their start: the daemon first, so that
# it does not see its receiver vanish (an I/O error in the log), then the
# simulator.
stop_simulated_device() {
    local i pid
    for ((i = ${#TAVRO_PIDS[@]} - 1; i >= 0; i--)); do
        pid=${TAVRO_PIDS[$i]}
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    TAVRO_PIDS=()
}

# The kit's version, from the top-level CMakeLists.txt.
tavro_version() {
    sed -n 's/^project(Tavro VERSION \([0-9.]*\).*/\1/p' "$TAVRO_ROOT/CMakeLists.txt"
}
