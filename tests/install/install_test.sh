#!/bin/sh
# install_test.sh BUILD_DIR SOURCE_DIR: installs the kit into a temporary
# prefix and checks that everything went under it (the user unit and the udev
# rules too), that the unit starts the installed daemon, that programs and
# libraries find the kit through a RUNPATH relative to themselves, that they
# run from there, that installing writes nothing into the build tree (its
# user may not be able to write there), and that no installed binary names the source tree; then
# builds and runs a C client against it through pkg-config and find_package.
set -eu
build=$1
source=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/tavro-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

touch "$work/before-install"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

echo "-- the installation writes nothing into the build tree but CMake's own manifest"
# ctest's own files under Testing/ change while the tests beside this one run.
written=$(find "$build" -path "$build/Testing" -prune -o -newer "$work/before-install" -type f \
          ! -name 'install_manifest*.txt' -print)
test -z "$written" || fail "installing wrote into the build tree: $written"

echo "-- every installed path is under the prefix"
sed -n -E 's/^-- (Installing|Up-to-date): //p' "$work/install.log" >"$work/installed"
test -s "$work/installed" || fail "the installation reported no files"
while read -r path; do
    case $path in
        "$prefix"/*) ;;
        *) fail "installed outside the prefix: $path" ;;
    esac
done <"$work/installed"

echo "-- systemd-analyze verify accepts the user unit, and it does not restart on a bad configuration"
if command -v systemd-analyze >/dev/null; then
    verify=$(XDG_RUNTIME_DIR=$work systemd-analyze verify --user "$prefix/lib/systemd/user/tavrod.service" 2>&1) ||
        fail "systemd-analyze verify: $verify"
    test -z "$verify" || fail "systemd-analyze verify: $verify"
fi
status=0
"$prefix/bin/tavrod" --no-such-option 2>/dev/null || status=$?
grep -Eq "^RestartPreventExitStatus=.*\b$status\b" "$prefix/lib/systemd/user/tavrod.service" ||
    fail "the unit restarts tavrod after exit status $status (a bad configuration)"

for file in include/tavrodev.h include/tavro/SharedDeviceState.h \
            bin/tavrod bin/tavro bin/tavro-calibrate bin/tavro-sim bin/tavro-demo \
            lib/systemd/user/tavrod.service lib/udev/rules.d/60-tavro-receiver.rules \
            share/man/man1/tavrod.1.gz share/man/man1/tavro.1.gz \
            share/man/man5/tavro-settings.5.gz share/bash-completion/completions/tavro \
            share/zsh/site-functions/_tavro share/fish/vendor_completions.d/tavro.fish; do
    test -e "$prefix/$file" || fail "missing after install: $file"
done
# The desktop app, its menu entry, icon and metainfo, when it was built.
app_files=""
if [ -e "$build/app/tavro-control" ]; then
    app_files="bin/tavro-control share/applications/com.quorvel.TavroControl.desktop
               share/icons/hicolor/scalable/apps/com.quorvel.TavroControl.svg
               share/metainfo/com.quorvel.TavroControl.metainfo.xml"
fi
for file in $app_files; do
    test -e "$prefix/$file" || fail "missing after install: $file"
done
libdir=$(dirname "$(ls "$prefix"/lib*/libTavroDev.so.1 "$prefix"/lib/*/libTavroDev.so.1 2>/dev/null | head -n 1)")
test -e "$libdir/libTavroDev.so.1" || fail "libTavroDev.so.1 not installed"
# Debian's documents go only into the packages.
test ! -e "$prefix/share/doc/tavro/changelog.Debian.gz" || fail "Debian changelog in a plain install"

echo "-- the user unit starts the installed daemon"
exec_start=$(sed -n 's/^ExecStart=//p' "$prefix/lib/systemd/user/tavrod.service")
test "$exec_start" = "$prefix/bin/tavrod" ||
    fail "tavrod.service has ExecStart=$exec_start, not $prefix/bin/tavrod"

echo "-- RUNPATH relative to each program and library"
for elf in "$prefix"/bin/* "$libdir"/libTavro*.so.*.*; do
    [ -L "$elf" ] && continue
    runpath=$(readelf -d "$elf" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
    name=${elf#"$prefix"/}
    case $name in
        bin/tavro-sim) continue ;;  # links none of the kit's libraries
    esac
    if [ -z "$runpath" ]; then
        fail "$name has no RUNPATH"
        continue
    fi
    old_ifs=$IFS
    IFS=:
    for entry in $runpath; do
        case $entry in
            '$ORIGIN'*)
                dir=$(dirname "$elf")${entry#'$ORIGIN'}
                test -e "$dir/libTavroCore.so.1" ||
                    fail "$name: RUNPATH entry $entry does not lead to the kit's libraries"
                ;;
            *) fail "$name: RUNPATH entry $entry is not relative to the binary" ;;
        esac
    done
    IFS=$old_ifs
done

echo "-- installed programs run from the prefix"
app_program=""
[ -e "$prefix/bin/tavro-control" ] && app_program=tavro-control
for program in tavrod tavro tavro-calibrate tavro-demo $app_program; do
    resolved=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/$program" | sed -n 's/.*libTavroDev\.so\.1 => \([^ ]*\).*/\1/p')
    test -n "$resolved" && test "$(realpath "$resolved")" = "$(realpath "$libdir/libTavroDev.so.1")" ||
        fail "$program loads libTavroDev.so.1 from '${resolved}', not from the prefix"
    env -u LD_LIBRARY_PATH "$prefix/bin/$program" --help >"$work/help.out" 2>&1 ||
        fail "$program --help failed: $(head -n 3 "$work/help.out")"
done

echo "-- no build-machine paths in installed binaries"
for elf in "$prefix"/bin/* "$libdir"/libTavro*.so.*.*; do
    [ -L "$elf" ] && continue
    for tree in "$source" "$build"; do
        if strings -a "$elf" | grep -q -F "$tree"; then
            fail "${elf#"$prefix"/} contains the path $tree: $(strings -a "$elf" | grep -F -m 2 "$tree" | tr '\n' ' ')"
        fi
    done
done

echo "-- pkg-config"
pcdir=$libdir/pkgconfig
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tavro)
case $flags in
    *"-I$prefix/include"*) ;;
    *) fail "pkg-config --cflags does not name $prefix/include: $flags" ;;
esac
cc -std=c11 -Wall -o "$work/consumer-pc" "$here/consumer.c" $flags
sh "$here/../support/run-isolated.sh" "$work/consumer-pc" || fail "the pkg-config client failed"

echo "-- find_package"
cmake -S "$here" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-build" >/dev/null
sh "$here/../support/run-isolated.sh" "$work/consumer-build/consumer" || fail "the find_package client failed"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install under $prefix: all checks passed"
