#!/bin/sh
# install_test.sh BUILD_DIR: installs the kit into a temporary prefix, then
# builds and runs a C client against it through pkg-config and through
# find_package.
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/tavro-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name pkgconfig -type d | head -n 1)
test -n "$libdir" || { echo "no pkgconfig directory installed" >&2; exit 1; }
for file in include/tavrodev.h include/tavro/SharedDeviceState.h bin/tavro-demo; do
    test -e "$prefix/$file" || { echo "missing after install: $file" >&2; exit 1; }
done
ls "$prefix"/lib*/libTavroDev.so.1 >/dev/null

echo "-- pkg-config"
flags=$(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs tavro)
cc -std=c11 -Wall -o "$work/consumer-pc" "$here/consumer.c" $flags
sh "$here/../support/run-isolated.sh" "$work/consumer-pc"

echo "-- find_package"
cmake -S "$here" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-build" >/dev/null
sh "$here/../support/run-isolated.sh" "$work/consumer-build/consumer"
