#!/usr/bin/env bash
# Builds the program and runs every test: once plainly (unit, in-process runs against a
# real FTP server, and the program itself under Xvfb), once under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded parts once more under ThreadSanitizer;
# each fuzz target for half a minute on its seed corpus; last, the Windows program and its
# tests, cross-compiled and run under Wine (scripts/test_windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
unset DISPLAY  # the end-to-end tests start a display of their own

build() {  # build <dir> <sanitizers>
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZD_SANITIZE="$2" -DZD_BENCH=OFF >/dev/null
  cmake --build "$1" -j "$jobs"
}

build build/release ""
(cd build/release && ctest --output-on-failure -j "$jobs" --timeout 300)

build build/asan "address,undefined"
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" --timeout 300 -L 'unit|run')

build build/tsan "thread"
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j "$jobs" --timeout 300 -L 'unit|run')

scripts/fuzz.sh --quick

scripts/test_windows.sh
