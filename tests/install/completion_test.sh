#!/bin/sh
# completion_test.sh BUILD_DIR: the bash, zsh and fish completions offer
# every option of each program's --help and, for tavro, every command and
# the options of each command's --help; the bash ones parse, and completing
# `tavro ` in bash offers the commands.
set -eu
build=$1
completions=$build/completions
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
isolated=$(cd "$(dirname "$0")/../support" && pwd)/run-isolated.sh
help_words() {
    sh "$isolated" "$@" --help 2>&1 | grep -o -E -- '--[a-z][a-z0-9-]*' | sort -u
}
check_words() {
    while read -r word; do
        for file in "$completions/bash/$1" "$completions/zsh/_$1" "$completions/fish/$1.fish"; do
            sed 's/-l /--/g' "$file" | grep -q -w -F -- "$word" || fail "$(basename "$file") lacks $word"
        done
    done
}

for entry in tavrod:tools/tavrod/tavrod tavro-calibrate:tools/tavro-calibrate/tavro-calibrate \
             tavro-sim:tools/tavro-sim/tavro-sim tavro:tools/tavro/tavro; do
    name=${entry%%:*}
    help_words "$build/${entry#*:}" | check_words "$name"
    bash -n "$completions/bash/$name" || fail "bash cannot parse the completion of $name"
done
tavro=$build/tools/tavro/tavro
commands=$(sh "$isolated" "$tavro" --help | sed -n '/^Commands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p')
test -n "$commands" || fail "tavro --help lists no commands"
echo "$commands" | check_words tavro
for command in $commands; do
    help_words "$tavro" "$command" | check_words tavro
done

offered=$(bash -c '. "$1"; COMP_WORDS=(tavro ""); COMP_CWORD=1; _tavro; printf "%s\n" "${COMPREPLY[@]}"' \
          sh "$completions/bash/tavro" | grep -v '^--' | sort)
test "$offered" = "$(echo "$commands" | sort)" || fail "bash completes 'tavro ' to: $offered"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "completions: every command and option of --help offered"
