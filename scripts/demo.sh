#!/usr/bin/env bash
# The demo: a local FTP server with a sample patch, a sample installation, and a real
# patch run in the real window. Without a display it runs under Xvfb and saves
# screenshots. Prints what the run changed in the installation.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZD_SANITIZE= -DZD_BENCH=OFF >/dev/null
cmake --build build/release --target zidodiruv -j "$(nproc)"

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
                  --user vorn --password demo; }
pids+=("$server_PID")
read -r -t 20 word port <&"${server[0]}" || { echo "the FTP server did not start"; exit 1; }
[ "$word" = PORT ] || { echo "unexpected server output: $word $port"; exit 1; }
echo "FTP server on 127.0.0.1:$port, serving $work/server"

/usr/bin/python3 examples/demo/make_sample.py "$work/server" "$work/install" "$port"
cp build/release/zidodiruv "$work/install/zidodiruv"
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
listing > "$work/after.txt"

echo
echo "Installation before the run:"; sed 's/^/  /' "$work/before.txt"
echo "Installation after the run:";  sed 's/^/  /' "$work/after.txt"
echo
echo "Changes (- before, + after):"
diff "$work/before.txt" "$work/after.txt" | grep '^[<>]' | sed 's/^</  -/; s/^>/  +/' || true
echo
for _ in $(seq 50); do [ -s "$work/install/game-started.txt" ] && break; sleep 0.1; done
if [ -s "$work/install/game-started.txt" ]; then
  echo "The game was started: $(cat "$work/install/game-started.txt")"
else
  echo "The game was not started."
fi
[ "$headless" = 1 ] && echo "Screenshots: $work/screenshot-downloading.png $work/screenshot-later.png"
exit 0
