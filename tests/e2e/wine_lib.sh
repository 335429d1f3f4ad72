# Shared by the Wine scripts (sourced): a display of its own, Wine's server, the test
# FTP server, and the waits and window helpers. Every wait is on a condition with a
# deadline and every Wine command has a time limit.
# The caller sets $work (an absolute directory) before sourcing and calls wine_setup.

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

xvfb_pid=""
ftp_pid=""
own_server=0
wine_cleanup() {
  # The Wine server this script started is stopped (not when it could not start one).
  [ "$own_server" -eq 1 ] && timeout -k 5 60 wineserver -k >/dev/null 2>&1 || true
  [ -n "$ftp_pid" ] && kill "$ftp_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}

wine_limited() { timeout -k 5 120 wine "$@"; }

# until_ok SECONDS_LIMIT COMMAND...: polls the command every 0.1 s until it succeeds.
until_ok() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# wine_setup: Xvfb on a display it picks itself, Wine's server (persistent, output
# detached, ending by itself a minute after its last program if the script is killed;
# one already running for the prefix is stopped first, since its desktop process may
# still be bound to another display or none), and a prefix that answers.
wine_setup() {
  export WINEPREFIX=${ZD_WINEPREFIX:-$work/prefix}
  # A display file left by an earlier run would be read before Xvfb empties it.
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  until_ok 30 test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$(head -n1 "$work/display")
  timeout -k 5 60 wineserver -k >/dev/null 2>&1 || true
  if timeout -k 5 60 wineserver -p60 </dev/null >/dev/null 2>&1; then own_server=1; fi
  until_ok 120 timeout -k 5 60 wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || { echo "Wine does not start" >&2; exit 1; }
}

# ftp_setup ROOT STATE USER PASSWORD [--writable]: the test FTP server (pyftpdlib, fault
# control in STATE/control, events in STATE/log) on a port it picks itself, in $ftp_port;
# with --writable the account may also store, rename and delete.
ftp_setup() {
  mkdir -p "$1" "$2"
  /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../support/ftp_server.py" --root "$1" --state "$2" \
    --user "$3" --password "$4" "${@:5}" >"$2/port" 2>"$2/stderr" &
  ftp_pid=$!
  until_ok 30 grep -qs '^PORT ' "$2/port" || { echo "the FTP server did not start:" >&2; cat "$2/stderr" >&2; exit 1; }
  ftp_port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$2/port")
}

# wine_settings DIR PORT USER PASSWORD BASE [HOST]: the installation's settings file,
# with Windows line ends; the server is HOST (default 127.0.0.1).
wine_settings() {
  printf '[PATCH_FTP]\r\nSERVERIP=%s\r\nPORT=%s\r\nUSERID=%s\r\nPASSWD=%s\r\nBASEDIRECTORY=%s\r\nLISTFILE=patch.lst\r\n' \
    "${6:-127.0.0.1}" "$2" "$3" "$4" "$5" >"$1/VornPatch.ini"
}

box() { xdotool search --name '^Tessary ZidoDiruv$' 2>/dev/null | head -n1; }
has_box() { [ -n "$(box)" ]; }
dialog() { xdotool search --onlyvisible --name '^Vorn-ZEDA  Patch$' 2>/dev/null | head -n1; }
dialog_visible() { [ -n "$(dialog)" ]; }
gone() { ! kill -0 "$1" 2>/dev/null; }
winpath() { wine_limited winepath -w "$1" 2>/dev/null | tr -d '\r'; }
# Sends keys to the box (there is no window manager to give it the focus).
keys() { xdotool key --window "$(box)" --delay 50 "$@" 2>/dev/null; }

# Processes running a program from under DIR: Wine maps a program's file into its
# process, so /proc/PID/maps names it whoever started the process.
running_from() {
  grep -l -F "$1/" /proc/[0-9]*/maps 2>/dev/null | sed 's|/proc/\([0-9]*\)/maps|\1|' || true
}
none_running_from() { [ -z "$(running_from "$1")" ]; }
# Ends whatever still runs from DIR (by process id), so the next case starts clean.
end_running_from() {
  local p
  for p in $(running_from "$1"); do kill "$p" 2>/dev/null || true; done
  until_ok 30 none_running_from "$1" || true
}

# start DIR ARGS...: runs DIR/ZidoDiruv.exe with DIR as its current directory; the
# process id goes to $started.
start() {
  local dir=$1
  shift
  (cd "$dir" && exec timeout -k 5 300 wine ./ZidoDiruv.exe "$@" </dev/null >/dev/null 2>&1) &
  started=$!
}
