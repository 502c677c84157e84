#!/usr/bin/env bash
# Runs the whole test suite: a normal build, a build under AddressSanitizer
# and UndefinedBehaviorSanitizer, a build under ThreadSanitizer, and a short
# run of each fuzz target.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages "${TAVRO_PACKAGES[@]}"
cd "$TAVRO_ROOT"

log=$(mktemp /tmp/tavro-tests-XXXXXX)
trap 'rm -f "$log"' EXIT

echo "== Normal build"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The uinput tests boot Debian's kernel in a virtual machine; fetched once.
tests/vm/run-in-vm.sh --fetch-only || echo "no kernel for the virtual machine: its tests will be skipped"
ctest --test-dir build -j2 --output-on-failure | tee -a "$log"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
# The desktop app is left out of the sanitizer builds: compiling Qt code
# again twice costs minutes, and the kit code it calls is what the other
# tests run there (its own tests run in the normal build).
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRO_SANITIZE=ON -DTAVRO_BUILD_BENCHMARKS=OFF -DTAVRO_BUILD_APP=OFF
# Stop at the first error; allocations libX11 keeps for its connections are
# not the kit's leaks.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$TAVRO_ROOT/tests/support/lsan.supp \
    ctest --test-dir build-asan -j2 --output-on-failure | tee -a "$log"

echo "== ThreadSanitizer build"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_TSAN=ON -DTAVRO_BUILD_BENCHMARKS=OFF -DTAVRO_BUILD_APP=OFF
# The whole suite, with the daemons, clients and simulators the tests start.
# The first report ends its process (a child with status 66, which fails its
# test); every process writes its reports into one directory, printed below,
# so a race in a child is shown and fails the step even where a test does
# not look at the child's status.  Nothing is suppressed: every access of
# the shared record is atomic, and Xlib's locks are pthread mutexes, which
# the sanitizer sees also when an uninstrumented library takes them.  Not
# run here:
# - UinputOutput.InVirtualMachine: boots a kernel under an emulated processor,
#   already near its time-outs; instrumented programs run 5-15 times slower.
#   The threads it would run are those the daemon tests run here.
# - Install.ClientBuildsWithPkgConfigAndFindPackage, Install.DebianPackages-
#   LintianClean: they check what is installed and shipped, which is the
#   normal build's; instrumented programs carry the build tree in their
#   debugging data and need the sanitizer's runtime to load.
# (The Python package's test is not built with ThreadSanitizer: the
# interpreter would need the runtime preloaded.)
tsan_reports=$(mktemp -d /tmp/tavro-tsan-XXXXXX)
tsan_status=0
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$tsan_reports/report" \
    ctest --test-dir build-tsan -j2 --output-on-failure \
        -E '^(UinputOutput\.InVirtualMachine|Install\.ClientBuildsWithPkgConfigAndFindPackage|Install\.DebianPackagesLintianClean)$' |
    tee -a "$log" || tsan_status=1
if compgen -G "$tsan_reports/report.*" >/dev/null; then
    echo "ThreadSanitizer reports:"
    cat "$tsan_reports"/report.*
    tsan_status=1
fi
rm -rf "$tsan_reports"
[ "$tsan_status" -eq 0 ] || { echo "ThreadSanitizer step failed"; exit 1; }

if [ -f fuzz/CMakeLists.txt ]; then
    echo "== Fuzzing (${TAVRO_FUZZ_SECONDS:-20} s per target)"
    CC=clang CXX=clang++ build build-fuzz -DCMAKE_BUILD_TYPE=Debug -DTAVRO_BUILD_FUZZERS=ON \
        -DTAVRO_BUILD_TESTS=OFF -DTAVRO_BUILD_BENCHMARKS=OFF -DTAVRO_BUILD_APP=OFF
    scripts/run-fuzzers.sh build-fuzz "${TAVRO_FUZZ_SECONDS:-20}"
fi

# Every suite passed (a failure ends the script above): one closing line.
total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" |
        awk '{ sum += $1 } END { print sum + 0 }')
echo "tests: $total passed, 0 failed"
