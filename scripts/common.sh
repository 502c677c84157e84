# Shared by the README's two commands: installs what is missing and builds.
# Sourced, not run.

TAVRO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages the kit needs to build, run and test on Debian 12.
TAVRO_PACKAGES=(build-essential cmake ninja-build pkg-config libx11-dev libxtst-dev
                libgtest-dev libgmock-dev libbenchmark-dev xvfb x11-utils clang
                util-linux procps)

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
