#!/bin/sh
# deb_test.sh BUILD_DIR: builds the Debian packages with CPack and checks them
# as Debian would: lintian must report no error and no warning; the files are
# in Debian's places (nothing under /usr/local), the user unit starts
# /usr/bin/tavrod, the binaries are stripped and carry no RUNPATH, the man
# pages are compressed, every package has its copyright and changelog, the
# dependencies are filled in, and the unpacked programs run.
set -eu
build=$1
work=$(mktemp -d /tmp/tavro-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
for tool in lintian dpkg-deb dpkg-shlibdeps readelf; do
    command -v "$tool" >/dev/null ||
        { echo "$tool is missing: apt-get install lintian dpkg-dev binutils" >&2; exit 1; }
done

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "cpack failed" >&2
    exit 1
fi
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
packages="libtavrocore1 libtavrolinux1 libtavrodev1 libtavro-dev tavro"
# The desktop app's package, where the build has the app.
app=false
if grep -q '^set(CPACK_COMPONENTS_ALL ".*app' "$build/CPackConfig.cmake"; then
    app=true
    packages="$packages tavro-control"
fi

root=$work/root
for package in $packages; do
    deb=$work/out/${package}_${version}-1_${arch}.deb
    if [ ! -f "$deb" ]; then
        fail "no package $package ($deb); made: $(ls "$work/out"/*.deb 2>/dev/null | xargs -n 1 basename | tr '\n' ' ')"
        continue
    fi
    dpkg-deb -c "$deb" | awk '{ print $6 }' >"$work/$package.files"
    if grep -q '^\./usr/local' "$work/$package.files"; then
        fail "$package ships files under /usr/local: $(grep -m 3 '^\./usr/local' "$work/$package.files" | tr '\n' ' ')"
    fi
    for doc in copyright changelog.Debian.gz; do
        grep -q "^\./usr/share/doc/$package/$doc\$" "$work/$package.files" ||
            fail "$package lacks /usr/share/doc/$package/$doc"
    done
    dpkg-deb -x "$deb" "$root"
    dpkg-deb -f "$deb" Depends >"$work/$package.depends"
done

echo "-- Debian's places"
for path in usr/bin/tavrod usr/bin/tavro usr/bin/tavro-calibrate usr/bin/tavro-sim usr/bin/tavro-demo \
            usr/lib/systemd/user/tavrod.service usr/lib/udev/rules.d/60-tavro-receiver.rules \
            "usr/lib/$multiarch/libTavroCore.so.1" "usr/lib/$multiarch/libTavroLinux.so.1" \
            "usr/lib/$multiarch/libTavroDev.so.1" "usr/lib/$multiarch/libTavroDev.so" \
            "usr/lib/$multiarch/pkgconfig/tavro.pc" "usr/lib/$multiarch/cmake/Tavro/TavroConfig.cmake" \
            usr/include/tavrodev.h usr/share/man/man1/tavrod.1.gz usr/share/man/man5/tavro-settings.5.gz; do
    test -e "$root/$path" || test -L "$root/$path" || fail "not in the packages: /$path"
done
exec_start=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/user/tavrod.service" 2>/dev/null || true)
test "$exec_start" = /usr/bin/tavrod || fail "tavrod.service has ExecStart=$exec_start, not /usr/bin/tavrod"
for page in "$root"/usr/share/man/man*/*; do
    case $page in
        *.gz) gzip -t "$page" || fail "$page is not a valid gzip file" ;;
        *) fail "man page not compressed: ${page#"$root"}" ;;
    esac
done
if grep -q -- '-rpath' "$root/usr/lib/$multiarch/pkgconfig/tavro.pc" 2>/dev/null; then
    fail "tavro.pc makes clients carry an rpath to a system directory"
fi

echo "-- stripped, no RUNPATH"
for elf in "$root"/usr/bin/* "$root/usr/lib/$multiarch"/libTavro*.so.*.*; do
    name=${elf#"$root"}
    readelf -d "$elf" | grep -q -E '\((RUNPATH|RPATH)\)' && fail "$name carries a RUNPATH"
    readelf -S "$elf" | grep -q -E '\.symtab|\.debug_' && fail "$name is not stripped"
done

echo "-- dependencies"
grep -q 'libtavrodev1 (= ' "$work/tavro.depends" || fail "tavro does not depend on libtavrodev1: $(cat "$work/tavro.depends")"
grep -q 'libx11-6' "$work/libtavrolinux1.depends" || fail "libtavrolinux1 does not depend on libx11-6: $(cat "$work/libtavrolinux1.depends")"
grep -q 'libc6' "$work/tavro.depends" || fail "tavro's Depends lacks libc6 (dpkg-shlibdeps not run?)"

if $app; then
    echo "-- the desktop app's package"
    for path in usr/bin/tavro-control usr/share/applications/com.quorvel.TavroControl.desktop \
                usr/share/icons/hicolor/scalable/apps/com.quorvel.TavroControl.svg \
                usr/share/metainfo/com.quorvel.TavroControl.metainfo.xml usr/share/man/man1/tavro-control.1.gz; do
        grep -q "^\./$path\$" "$work/tavro-control.files" || fail "not in tavro-control: /$path"
    done
    grep -q 'usr/bin/tavro-control' "$work/tavro.files" && fail "tavro ships the app: it needs Qt"
    grep -q 'tavro (= ' "$work/tavro-control.depends" ||
        fail "tavro-control does not depend on tavro: $(cat "$work/tavro-control.depends")"
    grep -q 'libqt6widgets6' "$work/tavro-control.depends" ||
        fail "tavro-control's Depends lacks libqt6widgets6: $(cat "$work/tavro-control.depends")"
    QT_QPA_PLATFORM=offscreen LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$root/usr/bin/tavro-control" --help \
        >"$work/help.out" 2>&1 || fail "/usr/bin/tavro-control --help failed: $(head -n 3 "$work/help.out")"
fi

echo "-- the unpacked programs run"
for program in tavrod tavro tavro-calibrate tavro-demo tavro-sim; do
    LD_LIBRARY_PATH=$root/usr/lib/$multiarch "$root/usr/bin/$program" --help >"$work/help.out" 2>&1 ||
        fail "/usr/bin/$program --help failed: $(head -n 3 "$work/help.out")"
done

echo "-- the Python package"
pydeb=$work/out/python3-tavro_${version}-1_all.deb
if [ -f "$pydeb" ]; then
    dpkg-deb -x "$pydeb" "$root"
    dpkg-deb -f "$pydeb" Depends | grep -q 'libtavrodev1 (= ' ||
        fail "python3-tavro does not depend on libtavrodev1: $(dpkg-deb -f "$pydeb" Depends)"
    site=$root/usr/lib/python3/dist-packages
    grep -q "^LIBDIR = \"/usr/lib/$multiarch\"" "$site/tavro/_install.py" 2>/dev/null ||
        fail "python3-tavro does not name /usr/lib/$multiarch as the kit's library directory"
    PYTHONPATH=$site TAVRO_LIBRARY=$root/usr/lib/$multiarch/libTavroDev.so.1 /usr/bin/python3 -c \
        'import tavro, sys; sys.exit(0 if tavro.Kit and len(tavro.SETTINGS) == 26 else 1)' \
        >"$work/python.out" 2>&1 || fail "the packaged tavro module does not import: $(head -n 3 "$work/python.out")"
else
    fail "no package python3-tavro ($pydeb)"
fi

echo "-- lintian"
# Tags at error and warning level fail; information and pedantic tags are
# shown by `lintian -I --pedantic` and not required.
if ! lintian --fail-on error,warning --tag-display-limit 0 "$work"/out/*.deb >"$work/lintian.out" 2>&1; then
    grep -v 'running with root privileges' "$work/lintian.out" >&2 || true
    fail "lintian reports errors or warnings"
else
    grep -v 'running with root privileges' "$work/lintian.out" || true
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "Debian packages: all checks passed, lintian clean"
