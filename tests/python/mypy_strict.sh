#!/bin/sh
# mypy_strict.sh SITE CACHE: type-checks the package as the build lays it out
# (SITE/tavro, with its made layouts) under mypy --strict; skipped (77) when
# mypy is not installed.
command -v mypy >/dev/null 2>&1 || {
    echo "SKIPPED: mypy is not installed; install it with: apt-get install mypy"
    exit 77
}
cd "$1" && exec mypy --strict --cache-dir "$2" tavro
