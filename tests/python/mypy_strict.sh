#!/bin/sh
# mypy_strict.sh SITE: type-checks the package as the build lays it out
# (SITE/tavro, with its made layouts) under mypy --strict, with its cache in
# a temporary directory (tests running beside it watch the build tree);
# skipped (77) when mypy is not installed.
command -v mypy >/dev/null 2>&1 || {
    echo "SKIPPED: mypy is not installed; install it with: apt-get install mypy"
    exit 77
}
cache=$(mktemp -d /tmp/tavro-mypy-XXXXXX) || exit 1
trap 'rm -rf "$cache"' EXIT
cd "$1" && mypy --strict --cache-dir "$cache" tavro
