#!/usr/bin/env bash
# The demo: a sample patch built and uploaded with zidodiruv-publish to a local FTP server,
# a sample installation, and a real patch run in the real window. Without a display it
# runs under Xvfb and saves screenshots. Prints what the run changed in the installation.
# scripts/demo.sh --windows runs the same patch with the Windows program under Wine
# (scripts/demo_windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${1:-}" = "--windows" ] && exec scripts/demo_windows.sh
top=$(pwd)
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZD_SANITIZE= -DZD_BENCH=OFF >/dev/null
cmake --build build/release --target zidodiruv zidodiruv-publish -j "$(nproc)"
publish=$top/build/release/zidodiruv-publish
# Listed times are local time; a zone without clock changes keeps the sample's times of
# 2002 and today's the same distance apart in every season.
export TZ=UTC

work="$top/build/demo"
rm -rf "$work"
mkdir -p "$work/server" "$work/state" "$work/install"
chmod 700 "$work"
export XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_DIRS="$work/xdg"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# The patch server: pyftpdlib on a free loopback port, slowed (to about 1 MB/s) so the run can
# be watched.
echo "rate=600000" > "$work/state/control"
coproc server { exec /usr/bin/python3 tests/support/ftp_server.py --root "$work/server" --state "$work/state" \
                  --user vorn --password demo --writable; }
pids+=("$server_PID")
read -r -t 20 word port <&"${server[0]}" || { echo "the FTP server did not start"; exit 1; }
[ "$word" = PORT ] || { echo "unexpected server output: $word $port"; exit 1; }
echo "FTP server on 127.0.0.1:$port, serving $work/server"

# Two versions of the game's files: the one the sample installation holds, and the next.
/usr/bin/python3 examples/demo/make_sample.py --releases "$work" "$work/install" "$port"
cp build/release/zidodiruv "$work/install/zidodiruv"
# The next version also carries a newer patcher: the same program with a version note
# after its image (the loader ignores it), which replaces the installed one.
{ cat build/release/zidodiruv; printf '\nZidoDiruv demo build 2\n'; } > "$work/release-2/zidodiruv"
touch -d '2002-06-05 12:00' "$work/release-2/zidodiruv"

echo; echo "Publishing with zidodiruv-publish:"
( set -x
  "$publish" build "$work/release-1" "$work/published-1"
  "$publish" build "$work/release-2" "$work/published-2" --previous "$work/published-1/patch.lst" --patcher zidodiruv
  "$publish" diff "$work/published-1/patch.lst" "$work/published-2/patch.lst"
  ZIDODIRUV_FTP_PASSWORD=demo "$publish" upload "$work/published-2" "ftp://vorn@127.0.0.1:$port/patch/"
  ZIDODIRUV_FTP_PASSWORD=demo "$publish" verify "ftp://vorn@127.0.0.1:$port/patch/" )
echo "The list the players' patchers read:"; sed 's/^/  /' "$work/published-2/patch.lst"
echo

patcher_state() { stat -c '%y  %s bytes' "$work/install/zidodiruv" | sed 's/\.[0-9]* / /'; }
running_patchers() {
  for p in /proc/[0-9]*; do [ "$(readlink "$p/exe" 2>/dev/null)" = "$work/install/zidodiruv" ] && echo "${p#/proc/}"; done
  return 0
}
patcher_before=$(patcher_state)
listing() { (cd "$work/install" && find . -type f ! -name zidodiruv -printf '%TY-%Tm-%Td %TH:%TM %10s  %p\n' | sort -k4); }
listing > "$work/before.txt"

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 70 99); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break; done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=("$!")
  export DISPLAY=":$n"
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  headless=1
else
  headless=0
fi

echo "Starting the patcher (window \"Vorn-ZEDA  Patch\")..."
started=$(date +%s.%N)
"$work/install/zidodiruv" &
patcher=$!
if [ "$headless" = 1 ]; then
  for _ in $(seq 100); do
    win=$(xdotool search --onlyvisible --name '^Vorn-ZEDA  Patch$' 2>/dev/null | head -1) && [ -n "$win" ] && break
    sleep 0.1
  done
  [ -n "${win:-}" ] || echo "(the window did not appear on $DISPLAY)"
  sleep 2
  [ -n "${win:-}" ] && timeout 10 import -window "$win" "$work/screenshot-downloading.png" </dev/null 2>/dev/null || true
  sleep 3
  [ -n "${win:-}" ] && timeout 10 import -window "$win" "$work/screenshot-later.png" </dev/null 2>/dev/null || true
fi
status=0
for _ in $(seq 1200); do kill -0 "$patcher" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$patcher" 2>/dev/null; then
  echo "the patcher did not finish within two minutes"; kill "$patcher"; exit 1
fi
wait "$patcher" || status=$?
echo "The patcher ended with exit code $status after $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $started }") s."
echo "It handed over to the new patcher it downloaded; waiting for the renewed patcher's run..."
for _ in $(seq 300); do [ -s "$work/install/game-started.txt" ] && [ -z "$(running_patchers)" ] && break; sleep 0.1; done
echo "The renewed patcher ended $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $started }") s after the first start."
listing > "$work/after.txt"

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
if tail -c 64 "$work/install/zidodiruv" | grep -q "demo build 2"; then
  echo "  the installed patcher is now the new build; the staging copy is $([ -e "$work/install/Update/zidodiruv" ] && echo "still there" || echo "gone")"
else
  echo "  the installed patcher was NOT replaced"
fi
echo
if [ -s "$work/install/game-started.txt" ]; then
  echo "The game was started $(wc -l < "$work/install/game-started.txt") time(s), by the renewed patcher:"
  sed 's/^/  /' "$work/install/game-started.txt"
else
  echo "The game was not started."
fi
[ "$headless" = 1 ] && echo "Screenshots: $work/screenshot-downloading.png $work/screenshot-later.png"
exit 0
