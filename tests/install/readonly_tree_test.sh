#!/bin/sh
# readonly_tree_test.sh BUILD_DIR: installs the kit from a build tree that
# cannot be written (bind-mounted read-only in a private mount namespace, so
# that not even root can write it) and checks that the installation
# succeeds, that it still keeps the list of the files it installed, and that
# the installed Python package loads the installed libTavroDev.
set -eu
build=$(cd "$1" && pwd -P)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/tavro-readonly-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
if [ "$(id -u)" = 0 ]; then
    namespace="--mount"
else
    namespace="--user --map-root-user --mount"
fi

status=0
# shellcheck disable=SC2086
TMPDIR=$work unshare $namespace --propagation private sh -c '
    mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" || exit 90
    if touch "$1/.tavro-write-probe" 2>/dev/null; then rm -f "$1/.tavro-write-probe"; exit 91; fi
    exec cmake --install "$1" --prefix "$2"' sh "$build" "$prefix" >"$work/install.log" 2>&1 || status=$?
case $status in
    0) ;;
    90) echo "SKIPPED: cannot bind-mount the build tree read-only (unshare $namespace):"
        cat "$work/install.log"
        exit 77 ;;
    91) echo "FAIL: the build tree stayed writable under its read-only mount" >&2; exit 1 ;;
    *) echo "FAIL: cmake --install from a read-only build tree failed (status $status):" >&2
       tail -n 20 "$work/install.log" >&2
       exit 1 ;;
esac

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

echo "-- the list of installed files is kept outside the tree, and the log says where"
manifest=$(sed -n "s|^-- The build tree $build cannot be written: the list of installed files is in ||p" "$work/install.log")
test -n "$manifest" || fail "the installation did not say where the list of installed files went"
test -z "$manifest" || grep -q '/tavro/_layout\.py$' "$manifest" ||
    fail "the list of installed files ($manifest) does not name the Python package's layout"

echo "-- the installed Python package loads the installed library"
site=$(find "$prefix" -type f -path '*-packages/tavro/_layout.py' | head -n 1)
libdir=$(dirname "$(find "$prefix" -name libTavroDev.so.1 | head -n 1)")
if [ -z "$site" ]; then
    fail "the Python package's layout was not installed"
else
    loaded=$(env -u TAVRO_LIBRARY PYTHONPATH="$(dirname "$(dirname "$site")")" \
        sh "$here/../support/run-isolated.sh" /usr/bin/python3 -c \
        'import tavro; print(tavro.Kit()._lib._name)' 2>&1) || true
    test "$loaded" = "$libdir/libTavroDev.so.1" ||
        fail "the installed package loaded '$loaded', not $libdir/libTavroDev.so.1"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install from the read-only tree $build: all checks passed"
