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
# The publisher's tool, a Linux program, makes the list of one Wine case (wine_runs.sh).
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target zidodiruv-publish
export ZD_PUBLISH="$PWD/build/release/zidodiruv-publish"

# Wine runs the 32-bit program with the machine's own processor in its 32-bit mode. Some
# virtual machines have no such mode (the kernel answers "Exec format error" for every 32-bit
# program); there the suite is built, so it still has to compile, but cannot be run.
if ! tests/e2e/wine_usable.sh; then
  echo "scripts/test_windows.sh: this machine cannot run 32-bit x86 programs, so Wine cannot start;" >&2
  echo "the Windows program and its tests were built but NOT run." >&2
  exit 0
fi

# One prefix for the suite; Wine's server is started here, persistent and with its
# output detached (else ctest waits for it), and stopped at the end.
export WINEPREFIX="$PWD/build/win32/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export ZD_WINEPREFIX="$WINEPREFIX"
# Every Wine command here has a time limit, and the server is persistent for a minute
# after its last program only, so a suite killed before its trap runs leaves no server
# behind for long.
timeout -k 5 300 wineboot -i </dev/null >/dev/null 2>&1  # creates the prefix once (~15 s)
# wineboot leaves a server that ends 3 s after its last program, and -p60 cannot take
# over a running one: wait for it to end first. Otherwise each test program starts a
# server of its own, and one that starts while the last is ending loses it ("wine client
# error: recvmsg").
timeout -k 5 60 wineserver -w </dev/null >/dev/null 2>&1 || true
timeout -k 5 60 wineserver -p60 </dev/null >/dev/null 2>&1 || true
ftp_pid=""
ftp_dir=""
cleanup() {
  [ -n "$ftp_pid" ] && kill "$ftp_pid" 2>/dev/null
  [ -n "$ftp_dir" ] && rm -rf "$ftp_dir"
  timeout -k 5 60 wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The FTP tests' server: a Windows test program cannot start the Linux one, so it runs
# here for the whole suite on a port it picks itself, and the tests find it through
# the environment (tests/support/ftp_server_win32.cpp).
ftp_dir=$(mktemp -d "${TMPDIR:-/tmp}/zd-wine-ftp-XXXXXX")
mkdir -p "$ftp_dir/root" "$ftp_dir/state"
export ZD_FTP_USER=patchuser ZD_FTP_PASSWORD=pa55word
/usr/bin/python3 tests/support/ftp_server.py --root "$ftp_dir/root" --state "$ftp_dir/state" \
  --user "$ZD_FTP_USER" --password "$ZD_FTP_PASSWORD" >"$ftp_dir/port" 2>"$ftp_dir/stderr" &
ftp_pid=$!
for _ in $(seq 100); do
  grep -q '^PORT ' "$ftp_dir/port" 2>/dev/null && break
  kill -0 "$ftp_pid" 2>/dev/null || break
  sleep 0.1
done
ZD_FTP_PORT=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$ftp_dir/port")
[ -n "$ZD_FTP_PORT" ] || { echo "the FTP server did not start:" >&2; cat "$ftp_dir/stderr" >&2; exit 1; }
ZD_FTP_ROOT=$(timeout -k 5 60 winepath -w "$ftp_dir/root" 2>/dev/null | tr -d '\r')
ZD_FTP_STATE=$(timeout -k 5 60 winepath -w "$ftp_dir/state" 2>/dev/null | tr -d '\r')
export ZD_FTP_PORT ZD_FTP_ROOT ZD_FTP_STATE
# Every Wine program takes its zone from TZ when it starts: the contract cases of the
# clock changes run under New York's or Berlin's zone (scripts/test.sh passes
# TZ=America/New_York) and say they were skipped under any other.
# One program at a time: every test shares the prefix and its server.
(cd build/win32 && ctest --output-on-failure -j 1 --timeout 600)
