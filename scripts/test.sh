#!/usr/bin/env bash
# Builds the program and runs every test: once plainly (unit, in-process runs against a
# real FTP server, and the program itself under Xvfb), once under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded parts once more under ThreadSanitizer;
# each fuzz target for half a minute on its seed corpus; last, the Windows program and its
# tests, cross-compiled and run under Wine (TZ=America/New_York LANG=ko_KR.UTF-8 scripts/test_windows.sh).
# The tests pass in any zone and locale: the plain pass runs in New York's zone (not the
# machine's, with daylight saving time), the end-to-end tests once more under a Korean
# locale, and the Windows suite under both.
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
(cd build/release && TZ=America/New_York ctest --output-on-failure -j "$jobs" --timeout 300)
(cd build/release && LANG=ko_KR.UTF-8 ctest --output-on-failure -j "$jobs" --timeout 300 -L e2e)

build build/asan "address,undefined"
(cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" --timeout 300 -L 'unit|run')

build build/tsan "thread"
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j "$jobs" --timeout 300 -L 'unit|run')

scripts/fuzz.sh --quick

TZ=America/New_York LANG=ko_KR.UTF-8 scripts/test_windows.sh
