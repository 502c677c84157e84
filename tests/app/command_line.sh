#!/bin/sh
# command_line.sh PROGRAM: tavro-control's --help and --version, and one line
# with exit status 2 for a wrong option or page, all before any window.
set -u
app=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
out=$("$app" --help) || fail "--help exited with $?"
echo "$out" | grep -q -- "--demo" || fail "--help does not name --demo"
for page in handsets pointing calibration keys receiver daemon; do
    echo "$out" | grep -q -- "$page" || fail "--help does not name the page $page"
done
echo "$out" | grep -q -- "--tray" || fail "--help does not name --tray"
"$app" --version | grep -q "^tavro-control (Tavro) " || fail "--version"
check() {
    expected=$1
    shift
    err=$("$app" "$@" 2>&1 >/dev/null)
    status=$?
    test $status -eq 2 || fail "$* exited with $status, not 2"
    test "$(printf '%s\n' "$err" | wc -l)" -eq 1 || fail "$*: not one line: $err"
    case $err in
        "tavro-control: $expected"*"(see tavro-control --help)") ;;
        *) fail "$*: $err" ;;
    esac
}
check "unknown option --bogus" --bogus
check "there is no page \"nowhere\"" --page nowhere
check "--page needs a page name" --page
exit $failures
