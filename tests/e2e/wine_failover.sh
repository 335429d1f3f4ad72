#!/usr/bin/env bash
# Whole runs of ZidoDiruv.exe under Wine against a server name whose first address
# refuses connections, or accepts them and never greets, and whose second serves the
# patch: each run patches through the second address, shows no box and starts the game. WinINet tries a name's first
# address only, so this holds only because the program resolves the name itself.
# Usage: wine_failover.sh ZidoDiruv.exe probe.exe WORKDIR
#
# The name lives in a hosts file bound over /etc/hosts in a mount namespace of the
# script's own (root only; otherwise it says so and ends as skipped, 77). Wine resolves
# through the system's resolver, which sorts loopback addresses by the length of the
# prefix they share with 127.0.0.1: 127.0.0.2 (the refusing one) before 127.0.0.5
# (the test server's). The namespace holds Wine's server too, for a prefix of its own.
set -euo pipefail
if [ "${ZD_FAILOVER_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "NOT RUN: the server name comes from a hosts file bound over /etc/hosts, which needs root" >&2
    exit 77
  fi
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "NOT RUN: this machine gives no mount namespace of the test's own (a container without it)" >&2
    exit 77
  fi
  exec env ZD_FAILOVER_NAMESPACE=1 unshare -m --propagation private bash "$0" "$@"
fi
exe=$(readlink -f "$1")
probe=$(readlink -f "$2")
work=$3
rm -rf "$work"
mkdir -p "$work/cases"
work=$(readlink -f "$work")
unset ZD_WINEPREFIX  # the suite's prefix has its server outside this namespace
source "$(dirname "$0")/wine_lib.sh"
holder_pid=""
cleanup() {
  for c in "$work"/cases/*; do end_running_from "$c"; done
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null || true
  wine_cleanup
}
trap cleanup EXIT

name=zd-mirror.test
printf '127.0.0.1 localhost\n127.0.0.5 %s\n127.0.0.2 %s\n' "$name" "$name" >"$work/hosts"
if ! mount --bind "$work/hosts" /etc/hosts; then
  echo "NOT RUN: no hosts file of the test's own could be bound over /etc/hosts" >&2
  exit 77
fi
order=$(getent ahostsv4 "$name" | awk '$2 == "STREAM" { print $1 }' | tr '\n' ' ')
if [ "$order" != "127.0.0.2 127.0.0.5 " ]; then
  echo "NOT RUN: the resolver orders $name as: $order" >&2
  exit 77
fi

wine_setup
root=$work/server
state=$work/state
ftp_setup "$root" "$state" player secret --address 127.0.0.5
mkdir -p "$root/p/data"
head -c 30000 /dev/urandom >"$root/p/data/a.dat"
head -c 5000 /dev/urandom >"$root/p/b.dat"
printf 'C 2002-06-01 14:30 30000 Data\\A.dat data/a.dat\r\nC 2002-06-02 09:05 5000 B.dat b.dat\r\n' >"$root/p/patch.lst"

# dead_address MODE: 127.0.0.2 at the server's port, held by a process of the script's:
# bound and never listening (refuse), or listening and never answering (silent: the
# system accepts into the backlog, nobody greets).
dead_address() {
  if [ -n "$holder_pid" ]; then
    kill "$holder_pid" 2>/dev/null || true
    wait "$holder_pid" 2>/dev/null || true
  fi
  rm -f "$work/held"
  /usr/bin/python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.2", int(sys.argv[1])))
if sys.argv[2] == "silent": s.listen(16)
print("held", flush=True); time.sleep(900)' "$ftp_port" "$1" >"$work/held" &
  holder_pid=$!
  until_ok 10 grep -qs held "$work/held" || { echo "cannot hold 127.0.0.2:$ftp_port" >&2; exit 1; }
}

# failover_case MODE: the run patches through 127.0.0.5 with no box.
failover_case() {
  local mode=$1 d=$work/cases/$1
  dead_address "$mode"
  mkdir -p "$d"
  cp "$exe" "$d/ZidoDiruv.exe"
  cp "$probe" "$d/Vorn.exe"
  wine_settings "$d" "$ftp_port" player secret /p/ "$name"
  local t0=$SECONDS
  start "$d"
  # A silent address costs WinINet's own reply limit (Wine: 30 s) once.
  if until_ok 180 test -s "$d/probe.log" && until_ok 60 gone "$started" && until_ok 30 none_running_from "$d"; then
    pass "$mode: the run ended and started the game ($((SECONDS - t0)) s)"
    [ "$(cat "$d/probe.log")" = "[ -U]" ] && pass "$mode: the game was started once, with ' -U'" \
      || fail "$mode: the game's starts: $(cat "$d/probe.log")"
    cmp -s "$root/p/data/a.dat" "$d/Data/A.dat" && cmp -s "$root/p/b.dat" "$d/B.dat" \
      && pass "$mode: both files are installed whole" || fail "$mode: an installed file differs from the server's"
  else
    has_box && fail "$mode: a box is up (the network question: the dead address was the only one tried)"
    fail "$mode: the run did not end with the game started"
  fi
  end_running_from "$d"
}

failover_case refuse
failover_case silent

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the Wine fail-over case passed"
