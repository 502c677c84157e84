#!/bin/sh
# man_test.sh BUILD_DIR SOURCE_DIR: every option that a program's --help
# names (and, for tavro, every command and every option of each command's
# --help) appears in its man page, and every page formats without a warning
# from man.
set -eu
build=$1
pages=$2/packaging/man
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
isolated=$(cd "$(dirname "$0")/../support" && pwd)/run-isolated.sh

# The page's text with roff's escaped hyphens made plain.
page_text() {
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$1"
}

# check_options PROGRAM_LABEL PAGE: options read from standard input.
check_options() {
    label=$1
    page=$2
    grep -o -E -- '--[a-z][a-z0-9-]*' | sort -u | while read -r option; do
        page_text "$page" | grep -q -F -- "$option" || echo "$label: $option"
    done
}

# A temporary HOME and a private IPC namespace, as for every test.
run_help() {
    sh "$isolated" "$@" --help 2>&1 || true
}

programs="tavrod:tools/tavrod/tavrod tavro-calibrate:tools/tavro-calibrate/tavro-calibrate
tavro-sim:tools/tavro-sim/tavro-sim tavro-demo:tavro-demo tavro:tools/tavro/tavro"
# The desktop app, when it was built.
[ -x "$build/app/tavro-control" ] && programs="$programs tavro-control:app/tavro-control"
for entry in $programs; do
    name=${entry%%:*}
    program=$build/${entry#*:}
    page=$pages/$name.1
    test -f "$page" || { fail "no man page for $name"; continue; }
    missing=$(run_help "$program" | check_options "$name" "$page")
    test -z "$missing" || fail "options of --help missing from $name.1: $(echo "$missing" | tr '\n' ' ')"
done

# tavro's commands: each one named in the page, with the options of its --help.
commands=$(run_help "$build/tools/tavro/tavro" | sed -n '/^Commands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p')
test -n "$commands" || fail "tavro --help lists no commands"
for command in $commands; do
    page_text "$pages/tavro.1" | grep -q -E "^\.B $command( |$)" ||
        fail "tavro.1 does not describe the command $command"
    missing=$(run_help "$build/tools/tavro/tavro" "$command" | check_options "tavro $command" "$pages/tavro.1")
    test -z "$missing" || fail "options of tavro $command --help missing from tavro.1: $(echo "$missing" | tr '\n' ' ')"
done

# man's own check of every page: no warning from the formatter.
for page in "$pages"/*.[1-8]; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null || true)
    test -z "$warnings" || fail "$(basename "$page"): $warnings"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "man pages: every option documented, no formatter warnings"
