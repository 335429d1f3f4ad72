#!/usr/bin/env bash
# The demo with the Windows program: the same sample patch as scripts/demo.sh, published
# the same way with zidodiruv-publish (a Linux program, as a publisher runs it), run by
# ZidoDiruv.exe under Wine. Without a display it runs on Xvfb; either way it saves a
# screenshot of the window mid-download. Prints what the run changed in the
# installation, the renewed patcher and how the stand-in game was started.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build/win32 --target zidodiruv zd_probe_win32 -j 2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZD_SANITIZE= -DZD_BENCH=OFF >/dev/null
cmake --build build/release --target zidodiruv-publish -j 2
publish=$top/build/release/zidodiruv-publish
# Listed times are local time, and Wine takes its zone from TZ: a zone without clock
# changes keeps the sample's times of 2002 and today's the same distance apart.
export TZ=UTC

work="$top/build/demo-windows"
rm -rf "$work"
mkdir -p "$work/server" "$work/state" "$work/install"
user_display=${DISPLAY:-}
source tests/e2e/wine_lib.sh
tests/e2e/wine_usable.sh || { echo "This machine cannot run 32-bit x86 programs, so Wine cannot start ZidoDiruv.exe." >&2; exit 1; }
# The demo's prefix survives between demos (a new one takes ~15 s).
export ZD_WINEPREFIX=${ZD_WINEPREFIX:-$top/build/win32/demo-prefix}
trap wine_cleanup EXIT
if [ -n "$user_display" ]; then
  # A display is there: the window is shown on it.
  export WINEPREFIX=$ZD_WINEPREFIX DISPLAY=$user_display
  if timeout -k 5 60 wineserver -p60 </dev/null >/dev/null 2>&1; then own_server=1; fi
  echo "Preparing Wine (the first time takes a few seconds)..."
  until_ok 300 timeout -k 5 300 wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || { echo "Wine does not start"; exit 1; }
else
  echo "Preparing Wine and Xvfb (the first time takes a few seconds)..."
  wine_setup
fi

# The patch server: pyftpdlib on a free loopback port, slowed to about 600 kB/s so the
# run can be watched.
echo "rate=600000" >"$work/state/control"
ftp_setup "$work/server" "$work/state" vorn demo --writable
echo "FTP server on 127.0.0.1:$ftp_port, serving $work/server"

# Two versions of the game's files: the one the sample installation holds, and the next.
/usr/bin/python3 examples/demo/make_sample.py --releases "$work" "$work/install" "$ftp_port"
install=$work/install
cp build/win32/ZidoDiruv.exe "$install/ZidoDiruv.exe"
# The stand-in game: a Windows program that records its command line in probe.log.
cp build/win32/tests/zd_probe_win32.exe "$install/Vorn.exe"
# The next version also carries a newer patcher: the same program with a note after its
# image, which Windows' loader ignores.
{ cat build/win32/ZidoDiruv.exe; printf '\r\nZidoDiruv demo build 2\r\n'; } >"$work/release-2/ZidoDiruv.exe"
touch -d '2002-06-05 12:00' "$work/release-2/ZidoDiruv.exe"

echo; echo "Publishing with zidodiruv-publish:"
( set -x
  "$publish" build "$work/release-1" "$work/published-1"
  "$publish" build "$work/release-2" "$work/published-2" --previous "$work/published-1/patch.lst" \
    --patcher ZidoDiruv.exe
  "$publish" diff "$work/published-1/patch.lst" "$work/published-2/patch.lst"
  ZIDODIRUV_FTP_PASSWORD=demo "$publish" upload "$work/published-2" "ftp://vorn@127.0.0.1:$ftp_port/patch/"
  ZIDODIRUV_FTP_PASSWORD=demo "$publish" verify "ftp://vorn@127.0.0.1:$ftp_port/patch/" )
echo "The list the players' patchers read:"; sed 's/^/  /' "$work/published-2/patch.lst"
echo

patcher_state() { stat -c '%y  %s bytes' "$install/ZidoDiruv.exe" | sed 's/\.[0-9]* / /'; }
patcher_before=$(patcher_state)
listing() { (cd "$install" && find . -type f ! -name ZidoDiruv.exe ! -name Vorn.exe ! -name probe.log \
  -printf '%TY-%Tm-%Td %TH:%TM %10s  %p\n' | sort -k4); }
listing >"$work/before.txt"

echo "Starting ZidoDiruv.exe under Wine (window \"Vorn-ZEDA  Patch\")..."
started_at=$(date +%s.%N)
start "$install"
# Mid-download: two megabytes of the new patcher (2.6 MB, the last and largest download:
# the packed files are small, and an unpacking writes large files to the staging area
# too) have arrived under its download name, over three seconds at the server's rate, so
# the figures have been refreshed.
arriving() {
  [ "$(find "$install/Update" -type f -name ZidoDiruv.exe.part -size +2000k 2>/dev/null | wc -l)" -gt 0 ]
}
shot="$work/screenshot-downloading.png"
if until_ok 60 arriving && until_ok 10 dialog_visible; then
  timeout 20 import -window "$(dialog)" "$shot" </dev/null 2>/dev/null || echo "(no screenshot taken)"
else
  echo "(the download did not start within a minute)"
fi
ended() { [ -s "$install/probe.log" ] && none_running_from "$install"; }
if ! until_ok 180 ended; then
  echo "the patch run did not finish within three minutes"
  has_box && echo "(a box titled \"Tessary ZidoDiruv\" is up)"
  end_running_from "$install"
  exit 1
fi
echo "The old patcher, its renewing copy and the renewed patcher ended $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $started_at }") s after the start."
listing >"$work/after.txt"

echo
echo "Installation before the run:"; sed 's/^/  /' "$work/before.txt"
echo "Installation after the run:";  sed 's/^/  /' "$work/after.txt"
echo
echo "Changes (- before, + after):"
diff "$work/before.txt" "$work/after.txt" | grep '^[<>]' | sed 's/^</  -/; s/^>/  +/' || true
echo
echo "The patcher renewed itself:"
echo "  before: $patcher_before"
echo "  after:  $(patcher_state)  (listed: 2002-06-05 12:00)"
if tail -c 64 "$install/ZidoDiruv.exe" | grep -q "demo build 2"; then
  echo "  the installed patcher is now the new build; the staging copy is $([ -e "$install/Update/ZidoDiruv.exe" ] && echo "still there" || echo "gone")"
else
  echo "  the installed patcher was NOT replaced"
fi
echo
echo "The game (Vorn.exe) was started $(wc -l <"$install/probe.log") time(s), with the command line:"
sed 's/^/  /' "$install/probe.log"
[ -s "$shot" ] && echo "Screenshot mid-download: $shot"
exit 0
