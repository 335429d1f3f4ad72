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
source "$(dirname "$0")/wine_lib.sh"
trap wine_cleanup EXIT
wine_setup

box_count() { xdotool search --name '^Tessary ZidoDiruv$' 2>/dev/null | wc -l; }
width_of() { xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p'; }
# Ends a case's program if it is still running, so the next case starts clean.
finish() { kill "$1" 2>/dev/null || true; until_ok 30 gone "$1" || true; }
# Nothing listens on port 21 here: every connection is refused.
settings() { wine_settings "$1" 21 player secret /patch; }

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
  dialog=$(dialog)
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
