#!/usr/bin/env bash
# ZidoDiruv.exe as a user runs it, under Wine on a display of its own (Xvfb picks a
# free one). Usage: wine_e2e.sh ZidoDiruv.exe probe.exe filetime.exe banner.bmp WORKDIR
#
# Cases: the window from its template with the banner (screenshot compared with the
# bitmap), "Cannot read patch detail." without settings, the mutex refusing a second
# copy, the installation found through the registry value (set with Wine's reg), the
# hand-off stamping the listed time (read back through Windows' time calls), and boxes
# answered by keyboard. Every wait is on a condition with a deadline.
set -euo pipefail
exe=$(readlink -f "$1")
probe=$(readlink -f "$2")
filetime=$(readlink -f "$3")
banner=$(readlink -f "$4")
work=$5

rm -rf "$work/cases"
mkdir -p "$work/cases"
work=$(readlink -f "$work")
# The prefix survives between runs: a new one takes ~15 s, a reused one ~0.5 s.
export WINEPREFIX=${ZD_WINEPREFIX:-$work/prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

xvfb_pid=""
own_server=0
cleanup() {
  # The server this script started is stopped (not when it could not start one).
  [ "$own_server" -eq 1 ] && timeout -k 5 60 wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

# Every Wine command has a time limit, so no stuck Wine process can hold the test (or
# ctest, through its pipes) past it.
wine_limited() { timeout -k 5 120 wine "$@"; }

# until SECONDS_LIMIT COMMAND...: polls the command every 0.1 s until it succeeds.
until_ok() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# Xvfb writes the display number it chose to the descriptor once it accepts clients.
# A display file left by an earlier run would be read before Xvfb empties it.
rm -f "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
until_ok 30 test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")

# Wine's server runs persistently with its output detached, so nothing keeps ctest's
# pipes open after the test; this script starts one of its own and the trap stops it.
# -p60: a server left behind by a killed script ends by itself a minute after its last
# program. A server already running for the prefix is stopped first: its desktop process
# outlives its last window by a few seconds, bound to the display of the programs before
# (or to none, after the unit tests), and a program started meanwhile would show its
# windows there, not here.
timeout -k 5 60 wineserver -k >/dev/null 2>&1 || true
if timeout -k 5 60 wineserver -p60 </dev/null >/dev/null 2>&1; then own_server=1; fi
until_ok 120 timeout -k 5 60 wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || { echo "Wine does not start" >&2; exit 1; }

box() { xdotool search --name '^Tessary ZidoDiruv$' 2>/dev/null | head -n1; }
has_box() { [ -n "$(box)" ]; }
dialog_visible() { xdotool search --onlyvisible --name '^Vorn-ZEDA  Patch$' >/dev/null 2>&1; }
box_count() { xdotool search --name '^Tessary ZidoDiruv$' 2>/dev/null | wc -l; }
gone() { ! kill -0 "$1" 2>/dev/null; }
width_of() { xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p'; }
winpath() { wine_limited winepath -w "$1" 2>/dev/null | tr -d '\r'; }
# Sends keys to the box (there is no window manager to give it the focus).
keys() { xdotool key --window "$(box)" --delay 50 "$@" 2>/dev/null; }
# Ends a case's program if it is still running, so the next case starts clean.
finish() { kill "$1" 2>/dev/null || true; until_ok 30 gone "$1" || true; }

# start DIR ARGS...: runs ZidoDiruv.exe from DIR; its process id goes to $started.
start() {
  local dir=$1
  shift
  (cd "$dir" && exec wine ./ZidoDiruv.exe "$@" </dev/null >/dev/null 2>&1) &
  started=$!
}

settings() {
  printf '[PATCH_FTP]\r\nSERVERIP=127.0.0.1\r\nPORT=21\r\nUSERID=player\r\nPASSWD=secret\r\nBASEDIRECTORY=/patch\r\nLISTFILE=patch.lst\r\n' >"$1/VornPatch.ini"
}

reg_key='HKLM\Software\Brisco Entertainment\Tessary'
wine_limited reg delete "$reg_key" /v "SETUP PATH" /f >/dev/null 2>&1 || true

# --- No settings anywhere: the box comes before the window is shown; OK by keyboard.
a=$work/cases/nosettings
mkdir -p "$a"
cp "$exe" "$a/ZidoDiruv.exe"
cp "$probe" "$a/Vorn.exe"
start "$a"
if until_ok 60 has_box; then
  dialog_visible && fail "no settings: the window is shown behind the box" || true
  short_width=$(width_of "$(box)")
  keys Return
  until_ok 30 gone "$started" && pass "no settings: one OK box, Return ends the program" \
    || fail "no settings: the program does not end after OK"
  [ -e "$a/probe.log" ] && fail "no settings: the game was started" || true
else
  fail "no settings: no box"
  short_width=0
fi
finish "$started"

# --- Settings beside the program: the window from its template, the connection fails
# (nothing listens on the settings' port 21 here), the question box is up.
b=$work/cases/beside
mkdir -p "$b"
cp "$exe" "$b/ZidoDiruv.exe"
cp "$probe" "$b/Vorn.exe"
settings "$b"
start "$b"
first=$started
if until_ok 60 has_box && until_ok 30 dialog_visible; then
  question=$(box)
  [ "$(width_of "$question")" -gt "$short_width" ] \
    && pass "settings beside: the question box, wider than the one-line OK box" \
    || fail "settings beside: the box is not the network question"
  # The box moves aside so the window can be seen whole.
  xdotool windowmove "$question" 0 0
  dialog=$(xdotool search --onlyvisible --name '^Vorn-ZEDA  Patch$' | head -n1)
  eval "$(xdotool getwindowgeometry --shell "$dialog")"
  until_ok 10 import -window root "$work/window.png"
  # The banner fills the client area's top-left 466 x 71 pixels exactly.
  convert "$work/window.png" -crop "466x71+${X}+${Y}" +repage "$work/banner_shot.png"
  diff_pixels=$(compare -metric AE "$work/banner_shot.png" "$banner" null: 2>&1 || true)
  [ "$diff_pixels" = "0" ] && pass "window: the banner is shown from the resource, pixel for pixel" \
    || fail "window: the banner differs in $diff_pixels pixels (screenshot $work/window.png)"

  # --- A second copy while the first runs: it ends at once, with no window or box.
  start "$b"
  until_ok 30 gone "$started" && pass "mutex: a second copy ends at once" || fail "mutex: the second copy runs"
  [ "$(box_count)" -eq 1 ] || fail "mutex: the second copy showed a box"

  # --- Yes by keyboard: the game is started with " -U".
  keys Return
  until_ok 30 test -s "$b/probe.log" && [ "$(cat "$b/probe.log")" = "[ -U]" ] \
    && pass "question box: Return answers Yes and the game starts with ' -U'" \
    || fail "question box: the game was not started as expected: $(cat "$b/probe.log" 2>/dev/null)"
  until_ok 30 gone "$first" || fail "settings beside: the program does not end"
else
  fail "settings beside: no window or no box"
fi
finish "$first"

# --- The registry names the installation: the program lives elsewhere.
c=$work/cases/elsewhere
d=$work/cases/installed
mkdir -p "$c" "$d"
cp "$exe" "$c/ZidoDiruv.exe"
cp "$probe" "$d/Vorn.exe"
settings "$d"
wine_limited reg add "$reg_key" /v "SETUP PATH" /t REG_SZ /d "$(winpath "$d")\\" /f >/dev/null 2>&1
start "$c"
if until_ok 60 has_box && until_ok 30 dialog_visible; then
  pass "registry: the settings were found through SETUP PATH"
  # No by keyboard: Tab moves to No, Return presses it; nothing is started.
  keys Tab Return
  until_ok 30 gone "$started" && pass "question box: Tab Return answers No and the program ends" \
    || fail "registry: the program does not end after No"
  [ -e "$d/probe.log" ] && fail "registry: the game was started after No" || true
else
  fail "registry: the settings were not found"
fi
finish "$started"
wine_limited reg delete "$reg_key" /v "SETUP PATH" /f >/dev/null 2>&1 || true

# --- The hand-off: -P copies the staged patcher over the installed one and stamps
# the listed time; the renewed patcher (-D) deletes the staged copy and runs.
e=$work/cases/handoff
mkdir -p "$e/Update"
printf 'old patcher' >"$e/ZidoDiruv.exe"
cp "$exe" "$e/Update/ZidoDiruv.exe"
staged=$(winpath "$e/Update/ZidoDiruv.exe")
target=$(winpath "$e/ZidoDiruv.exe")
start "$e/Update" -P "$staged" "$target" "2002-07-15" "09:05"
if until_ok 60 has_box; then
  until_ok 30 cmp -s "$exe" "$e/ZidoDiruv.exe" && pass "hand-off: the installed patcher was replaced" \
    || fail "hand-off: the installed patcher is not the new one"
  until_ok 30 test ! -e "$e/Update/ZidoDiruv.exe" && pass "hand-off: -D deleted the staged copy" \
    || fail "hand-off: the staged copy is still there"
  # Read back through Windows' own time calls (a `dir` listing's format follows the locale).
  stamped=$(cd "$e" && wine_limited "$filetime" ZidoDiruv.exe </dev/null 2>/dev/null | tr -d '\r')
  [ "$stamped" = "2002-07-15 09:05 $(stat -c %s "$exe")" ] && pass "hand-off: the listed time reads back exactly" \
    || fail "hand-off: the stamped patcher reads back as: $stamped"
  keys Return
else
  fail "hand-off: the renewed patcher did not run"
fi
finish "$started"

if [ "$failures" -ne 0 ]; then
  echo "$failures case(s) failed" >&2
  exit 1
fi
echo "all Wine cases passed"
