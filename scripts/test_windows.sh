#!/usr/bin/env bash
# Cross-compiles ZidoDiruv.exe and its tests for 32-bit Windows and runs them under
# Wine: the platform contract and Win32 service tests, the core unit tests that need no
# Linux fixture, and the program itself on Xvfb (tests/e2e/wine_e2e.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
unset DISPLAY  # the Wine end-to-end test starts a display of its own

cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/win32 -j "$(nproc)"

# One prefix for the suite; Wine's server is started here, persistent and with its
# output detached (else ctest waits for it), and stopped at the end.
export WINEPREFIX="$PWD/build/win32/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export ZD_WINEPREFIX="$WINEPREFIX"
# Every Wine command here has a time limit, and the server is persistent for a minute
# after its last program only, so a suite killed before its trap runs leaves no server
# behind for long.
timeout -k 5 300 wineboot -i </dev/null >/dev/null 2>&1  # creates the prefix once (~15 s)
timeout -k 5 60 wineserver -p60 </dev/null >/dev/null 2>&1 || true
trap 'timeout -k 5 60 wineserver -k >/dev/null 2>&1 || true' EXIT
# One program at a time: every test shares the prefix and its server.
(cd build/win32 && ctest --output-on-failure -j 1 --timeout 600)
