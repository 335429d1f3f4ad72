#!/usr/bin/env bash
# Whole patch runs of ZidoDiruv.exe under Wine on a display of its own, against the
# test FTP server (pyftpdlib) and, where it can run here (installed, as root), vsftpd.
# Usage: wine_runs.sh ZidoDiruv.exe probe.exe filetime.exe WORKDIR
#
# Cases: a run with 'C', 'Z' and 'D' entries and a current file (contents, listed
# times read back through Windows' calls, the game started once with " -U", the
# staging area emptied, the current file never fetched, the prefix's URL cache as it
# was); 20 files listed across the clock changes, installed and found current in three
# zones; the list connection refused and the question answered Yes (the game starts); a
# file connection refused, answered No and Yes; EX during a slowed download; a file
# missing on the server; a file the server cuts short while it answers 226; a file the
# server sends without end while it claims 2 GiB, and a gzip bomb; the staging folder a
# link out of the installation; a list with local names Windows cannot hold beside good
# ones; a list made by the publisher's tool (ZD_PUBLISH, else build/release's) with a
# local name as long as it allows below an installation folder as long as it allows for,
# and a file become a folder; a version signed by that tool, installed with its key, and
# refused file by file where the server holds other bytes; the self-update through its three processes with Windows'
# file locks, followed by the renewed patcher's own full run.
set -euo pipefail
exe=$(readlink -f "$1")
probe=$(readlink -f "$2")
filetime=$(readlink -f "$3")
work=$4
rm -rf "$work"
mkdir -p "$work/cases"
work=$(readlink -f "$work")
source "$(dirname "$0")/wine_lib.sh"
vsftpd_pid=""
cleanup() {
  for d in "$work"/cases/*; do end_running_from "$d"; done
  [ -n "$vsftpd_pid" ] && kill "$vsftpd_pid" 2>/dev/null || true
  wine_cleanup
}
trap cleanup EXIT
wine_setup

root=$work/server
state=$work/state
ftp_setup "$root" "$state" player secret
log=$state/log
control=$state/control

# --- Helpers -----------------------------------------------------------------------

# stamp FILE DATE TIME: the last-write time the patcher gives a listed date and time
# (local time with the offset of that date).
stamp() { touch -d "$2 $3" "$1"; }
# blob FILE BYTES: random contents.
blob() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }
# install_dir NAME: a fresh installation with the patcher and the stand-in game.
install_dir() {
  local d=$work/cases/$1
  mkdir -p "$d"
  cp "$exe" "$d/ZidoDiruv.exe"
  cp "$probe" "$d/Vorn.exe"
  echo "$d"
}
# times DIR NAME...: "YYYY-MM-DD HH:MM SIZE" per file, read by Windows' own calls.
times() {
  local d=$1 n
  shift
  local args=()
  for n in "$@"; do args+=("$n"); done
  (cd "$d" && timeout -k 5 60 wine "$filetime" "${args[@]}" </dev/null 2>/dev/null | tr -d '\r')
}
# log_mark: the server log's current length; log_since MARK: what came after it.
log_mark() { [ -e "$log" ] && wc -c <"$log" || echo 0; }
log_since() { tail -c +"$(($1 + 1))" "$log" 2>/dev/null || true; }
logins_so_far() { grep -c ' OK$' "$log" 2>/dev/null || true; }
staged_files() { find "$1/Update" -type f 2>/dev/null | wc -l; }
game_starts() { [ -e "$1/probe.log" ] && wc -l <"$1/probe.log" || echo 0; }
game_started_more() { [ "$(game_starts "$1")" -gt "$2" ]; }
# wait_end PID DIR: the program (and anything it started from DIR) has ended.
wait_end() { until_ok 60 gone "$1" && until_ok 30 none_running_from "$2"; }
# cache_files: the files of the prefix's URL cache but its index, with their sizes.
cache_files() {
  find "$WINEPREFIX/drive_c/users" -path '*/INetCache/*' -type f ! -name index.dat -printf '%p %s\n' 2>/dev/null | LC_ALL=C sort
}
# files_in DIR: every file under DIR, relative, sorted.
files_in() { (cd "$1" && find . -type f | LC_ALL=C sort | tr '\n' ' '); }

# --- The sample patch on the server ------------------------------------------------
# /full/: plain files in folders, a gzip entry, a deletion, a current file.
blob "$root/full/data/map/Map01.dat" 300000
blob "$root/full/Readme.txt" 4096
blob "$root/full/data/Current.dat" 20000
blob "$work/Big.pak" 700000
gzip -c -6 "$work/Big.pak" >"$root/full/data/Big.pak.gz"
blob "$root/full/data/empty.dat" 0
{
  printf '# sample patch\r\n'
  printf 'C 2002-06-01 14:30 300000 Data\\Map\\Map01.dat data/map/Map01.dat\r\n'
  printf 'C 2002-06-02 09:05 4096 Readme.txt Readme.txt\r\n'
  printf 'D 2002-06-04 12:00 0 Data\\Obsolete.dat Obsolete.dat\r\n'
  printf 'Z 2002-06-03 10:00 700000:%s Data\\Big.pak data/Big.pak.gz\r\n' "$(stat -c %s "$root/full/data/Big.pak.gz")"
  printf 'C 2002-05-20 08:00 20000 Data\\Current.dat data/Current.dat\r\n'
  printf 'C 2001-12-24 23:59 0 Data\\Empty.dat data/empty.dat\r\n'
} >"$root/full/patch.lst"

# whole_run NAME PORT USER PASSWORD BASE: the sample patch; the server log is checked
# when the server is the test server.
whole_run() {
  local name=$1 port=$2 user=$3 password=$4 base=$5
  local d
  d=$(install_dir "whole-$name")
  wine_settings "$d" "$port" "$user" "$password" "$base"
  mkdir -p "$d/Data/Map"
  printf 'old map\n' >"$d/Data/Map/Map01.dat"
  printf 'to be deleted\n' >"$d/Data/Obsolete.dat"
  cp "$root/full/data/Current.dat" "$d/Data/Current.dat"
  stamp "$d/Data/Current.dat" 2002-05-20 08:00
  local mark cache
  mark=$(log_mark)
  cache=$(cache_files)
  local t0=$SECONDS
  start "$d"
  if ! until_ok 60 test -s "$d/probe.log" || ! wait_end "$started" "$d"; then
    fail "$name: the run did not end with the game started"
    has_box && fail "$name: a box is up"
    end_running_from "$d"
    return
  fi
  pass "$name: the run ended and started the game ($((SECONDS - t0)) s)"
  [ "$(cat "$d/probe.log")" = "[ -U]" ] && pass "$name: the game was started once, with ' -U'" \
    || fail "$name: the game's starts: $(cat "$d/probe.log")"
  cmp -s "$root/full/data/map/Map01.dat" "$d/Data/Map/Map01.dat" && cmp -s "$root/full/Readme.txt" "$d/Readme.txt" \
    && cmp -s "$work/Big.pak" "$d/Data/Big.pak" && cmp -s "$root/full/data/empty.dat" "$d/Data/Empty.dat" \
    && pass "$name: 'C' files in folders, an empty one and the 'Z' entry are installed whole" \
    || fail "$name: an installed file differs from the server's"
  [ ! -e "$d/Data/Obsolete.dat" ] && pass "$name: the 'D' entry's file is deleted" || fail "$name: Obsolete.dat is still there"
  local got expected
  got=$(times "$d" 'Data\Map\Map01.dat' Readme.txt 'Data\Big.pak' 'Data\Current.dat' 'Data\Empty.dat')
  expected=$(printf '%s\n' "2002-06-01 14:30 300000" "2002-06-02 09:05 4096" "2002-06-03 10:00 700000" \
    "2002-05-20 08:00 20000" "2001-12-24 23:59 0")
  [ "$got" = "$expected" ] && pass "$name: every file reads back with its listed time through Windows' calls" \
    || fail "$name: times read back as: $(echo "$got" | tr '\n' ';') expected $(echo "$expected" | tr '\n' ';')"
  [ "$(staged_files "$d")" -eq 0 ] && pass "$name: the staging area holds no file" || fail "$name: staged files left: $(find "$d/Update" -type f)"
  [ "$(cache_files)" = "$cache" ] && pass "$name: the prefix's URL cache is as the run found it" \
    || fail "$name: the URL cache gained: $(comm -13 <(echo "$cache") <(cache_files) | tr '\n' ';')"
  # Every transfer's size is checked: pyftpdlib states none when it opens a transfer, so
  # one SIZE follows each; vsftpd states it ("(4096 bytes)"), so none is asked for.
  if [ "$name" = pyftpdlib ]; then
    local since
    since=$(log_since "$mark")
    if ! grep -q 'RETR.*Current.dat' <<<"$since" && [ "$(grep -c ' RETR ' <<<"$since")" -eq 5 ] \
      && [ "$(grep -c ' TYPE I$' <<<"$since")" -eq 5 ] && ! grep -q ' PASV$\| EPSV$' <<<"$since" \
      && [ "$(grep -c ' SIZE ' <<<"$since")" -eq 5 ]; then
      pass "$name: the current file is not fetched; four files and the list in image type, active mode, each size asked"
    else
      fail "$name: the server saw: $(grep ' RETR \| TYPE \| PASV\| EPSV\| SIZE ' <<<"$since" | tr '\n' ';')"
    fi
  elif [ "$name" = vsftpd ]; then
    local downloads
    downloads=$(grep 'OK DOWNLOAD' "$work/vsftpd/log" || true)
    [ "$(grep -c . <<<"$downloads")" -eq 5 ] && ! grep -q 'Current.dat' <<<"$downloads" && ! grep -q '"PASV"\|"EPSV"' "$work/vsftpd/log" \
      && ! grep -q '"SIZE ' "$work/vsftpd/log" \
      && pass "$name: the current file is not fetched; four files and the list, active mode, the sizes taken from the replies" \
      || fail "$name: the server sent: $(tr '\n' ';' <<<"$downloads") $(grep -c '"SIZE ' "$work/vsftpd/log") SIZE"
  fi
}

# vsftpd_setup: vsftpd with a configuration of its own, anonymous log-on only, the same
# root, on a port the system picked a moment before (tried again if it was taken
# meanwhile); sets $vsftpd_port, or $vsftpd_skip with the reason it cannot run.
vsftpd_setup() {
  vsftpd_skip=""
  if ! command -v vsftpd >/dev/null; then vsftpd_skip="vsftpd is not installed (scripts/setup.sh installs it)"; return; fi
  # Its anonymous session is a chroot into the root, as its own "ftp" user.
  if [ "$(id -u)" -ne 0 ]; then vsftpd_skip="vsftpd needs root for its chroot"; return; fi
  if ! id ftp >/dev/null 2>&1 || [ ! -d /var/run/vsftpd/empty ]; then vsftpd_skip="vsftpd's user or directory is missing"; return; fi
  local v=$work/vsftpd try
  mkdir -p "$v"
  chmod -R a+rX "$root"
  for try in 1 2 3 4 5; do
    vsftpd_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf '%s\n' listen=YES listen_ipv6=NO listen_address=127.0.0.1 "listen_port=$vsftpd_port" background=NO \
      anonymous_enable=YES "anon_root=$root" local_enable=NO write_enable=NO connect_from_port_20=NO \
      secure_chroot_dir=/var/run/vsftpd/empty xferlog_enable=YES xferlog_std_format=NO "vsftpd_log_file=$v/log" \
      log_ftp_protocol=YES seccomp_sandbox=NO isolate=NO isolate_network=NO max_clients=0 max_per_ip=0 >"$v/vsftpd.conf"
    timeout -k 5 600 vsftpd "$v/vsftpd.conf" </dev/null >"$v/stderr" 2>&1 &
    vsftpd_pid=$!
    until_ok 10 vsftpd_answers || true
    if ! gone "$vsftpd_pid" && vsftpd_answers; then return; fi
    kill "$vsftpd_pid" 2>/dev/null || true
  done
  vsftpd_pid=""
  vsftpd_skip="vsftpd did not start: $(cat "$v/stderr")"
}
# Ours when it is still running and the port takes a connection.
vsftpd_answers() { gone "$vsftpd_pid" || (exec 3<>"/dev/tcp/127.0.0.1/$vsftpd_port") 2>/dev/null; }

# question_case NAME FAULT ANSWER: a refused log-on; the question answered by keyboard
# (Yes: Return, No: Tab Return).
question_case() {
  local name=$1 fault=$2 answer=$3
  local d
  d=$(install_dir "$name")
  wine_settings "$d" "$ftp_port" player secret /full
  mkdir -p "$d/Data/Map"
  printf 'old map\n' >"$d/Data/Map/Map01.dat"
  echo "$fault" >"$control"
  local mark
  mark=$(log_mark)
  start "$d"
  if until_ok 60 has_box; then
    local since
    since=$(log_since "$mark")
    case "$fault" in
      refuse_login=1) grep -q 'LOGIN [0-9]* FAIL' <<<"$since" && ! grep -q ' OK$' <<<"$since" \
        && pass "$name: the list connection's log-on was refused and the question is up" \
        || fail "$name: the server saw: $(tr '\n' ';' <<<"$since")" ;;
      *) [ "$(grep -c ' OK$' <<<"$since")" -eq 1 ] && grep -q 'LOGIN [0-9]* FAIL' <<<"$since" \
        && pass "$name: the list was fetched, the file connection's log-on refused, the question is up" \
        || fail "$name: the server saw: $(tr '\n' ';' <<<"$since")" ;;
    esac
    if [ "$answer" = yes ]; then keys Return; else keys Tab Return; fi
    if wait_end "$started" "$d"; then
      if [ "$answer" = yes ]; then
        [ "$(cat "$d/probe.log" 2>/dev/null)" = "[ -U]" ] && pass "$name: Yes starts the game once with ' -U'" \
          || fail "$name: after Yes the game's starts: $(cat "$d/probe.log" 2>/dev/null)"
      else
        [ ! -e "$d/probe.log" ] && pass "$name: No ends the program and starts nothing" || fail "$name: the game was started after No"
      fi
      [ "$(cat "$d/Data/Map/Map01.dat")" = "old map" ] && [ "$(staged_files "$d")" -eq 0 ] \
        && pass "$name: nothing installed, the staging area empty" || fail "$name: the installation changed"
    else
      fail "$name: the program did not end after the answer"
    fi
  else
    fail "$name: no question"
  fi
  : >"$control"
  end_running_from "$d"
}

whole_run pyftpdlib "$ftp_port" player secret /full/
vsftpd_setup
if [ -z "$vsftpd_skip" ]; then
  whole_run vsftpd "$vsftpd_port" anonymous zd@wine.test /full/
  kill "$vsftpd_pid" 2>/dev/null || true
else
  echo "skipped: the whole run against vsftpd: $vsftpd_skip"
fi

# zone_case ZONE SKIPPED REPEATED REPEATED_TIME: 20 files listed in winter, in summer, at
# 02:30 on the day spring skips it and at REPEATED_TIME on the day autumn repeats it,
# installed by a run in ZONE (Wine takes the zone from TZ when a program starts). Each
# file reads back through Windows' calls with its listed time (the skipped one an hour
# later), whatever the season now, and the next run fetches nothing but the list. Under
# the offset in force now, the files of the other season would read back an hour off
# and be fetched again.
zone_case() {
  local zone=$1 skipped=$2 repeated=$3 repeated_time=$4
  local name d i listed size files=() expected=""
  name=zone-${zone//\//-}
  mkdir -p "$root/$name"
  : >"$root/$name/patch.lst"
  for i in $(seq 0 19); do
    listed=$(printf '2024-%02d-%02d %02d:%02d' $((i % 2 == 0 ? 1 : 7)) $((i + 1)) $((i * 5 % 24)) $((i * 7 % 60)))
    [ "$i" -eq 18 ] && listed="$skipped 02:30"
    [ "$i" -eq 19 ] && listed="$repeated $repeated_time"
    size=$((100 + i))
    blob "$root/$name/f$i.dat" "$size"
    printf 'C %s %s f%s.dat f%s.dat\r\n' "$listed" "$size" "$i" "$i" >>"$root/$name/patch.lst"
    files+=("f$i.dat")
    [ "$i" -eq 18 ] && [ "$zone" != Asia/Seoul ] && listed="$skipped 03:30"
    expected+="$listed $size"$'\n'
  done
  d=$(install_dir "$name")
  wine_settings "$d" "$ftp_port" player secret "/$name/"
  local run mark since want=(20 0) got
  for run in 0 1; do
    mark=$(log_mark)
    TZ=$zone start "$d"
    if ! until_ok 60 game_started_more "$d" "$run" || ! wait_end "$started" "$d"; then
      fail "$zone: run $((run + 1)) did not end with the game started"
      end_running_from "$d"
      return
    fi
    since=$(log_since "$mark")
    got=$(grep -c ' RETR /'"$name"'/f' <<<"$since" || true)
    [ "$got" -eq "${want[$run]}" ] && grep -q ' RETR /'"$name"'/patch.lst' <<<"$since" \
      && pass "$zone: run $((run + 1)) fetched the list and ${want[$run]} of the 20 files" \
      || fail "$zone: run $((run + 1)) fetched $got of the 20 files, expected ${want[$run]}"
    if [ "$run" -eq 0 ]; then
      got=$(TZ=$zone times "$d" "${files[@]}")
      [ "$got"$'\n' = "$expected" ] && pass "$zone: the 20 files read back with their listed times" \
        || fail "$zone: times read back as: $(tr '\n' ';' <<<"$got") expected $(tr '\n' ';' <<<"$expected")"
    fi
  done
}

zone_case America/New_York 2024-03-10 2024-11-03 01:30
zone_case Europe/Berlin 2024-03-31 2024-10-27 02:30
zone_case Asia/Seoul 2024-03-10 2024-11-03 01:30

question_case list-refused-yes refuse_login=1 yes
question_case file-refused-no "logins_allowed=$(($(logins_so_far) + 1))" no
question_case file-refused-yes "logins_allowed=$(($(logins_so_far) + 1))" yes

# --- EX during a download: the server sends the big file at about 600 kB/s; the bar
# follows the data on its way. ---------------------------------------------------------
blob "$root/slow/Small.dat" 1000
blob "$root/slow/Big.dat" 10000000
printf 'C 2002-06-01 10:00 1000 Small.dat Small.dat\r\nC 2002-06-01 10:00 10000000 Big.dat Big.dat\r\n' >"$root/slow/patch.lst"
d=$(install_dir ex)
wine_settings "$d" "$ftp_port" player secret /slow
printf 'rate=600000\npath=slow/Big.dat\n' >"$control"
mark=$(log_mark)
start "$d"
# Bytes of the big file have arrived in the staging area (under the FTP client's
# temporary name or the staging name).
big_bytes() { cat "$d/Update/Big.dat"* 2>/dev/null | wc -c; }
big_arriving() { [ "$(big_bytes)" -gt 2500000 ]; }
if until_ok 60 big_arriving && until_ok 10 dialog_visible; then
  # Dialog units scale to pixels by the client area's 267 x 159 units; without a window
  # manager the window is the client area, so its size gives the scale (the font decides
  # it). The bar is at 8,69 (250 x 12): its middle row, inside the border, is filled
  # where it differs from its empty end. The share it shows lies between the shares of
  # the file on disk just before and just after the screenshot, give or take 2%. The
  # bar's moves are posted to the window, not waited for, so on a loaded machine it may
  # trail the file for a moment: a sample that disagrees is taken again, for up to 10 s.
  eval "$(xdotool getwindowgeometry --shell "$(dialog)")"
  bar_x=$((X + WIDTH * 8 / 267 + 2)) bar_w=$((WIDTH * 250 / 267 - 4)) bar_y=$((Y + HEIGHT * 75 / 159))
  bar_sample() {
    before=$(big_bytes)
    import -window root "$work/bar.png"
    after=$(big_bytes)
    shown=$(convert "$work/bar.png" -crop "${bar_w}x1+${bar_x}+${bar_y}" +repage -depth 8 txt:- \
      | LC_ALL=C awk 'NR > 1 { c[NR] = $3; last = $3 } END { for (i in c) n += c[i] != last; print n / (NR - 1) }')
    LC_ALL=C awk -v s="$shown" -v a="$before" -v b="$after" 'BEGIN { exit !(s >= a / 1e7 - 0.02 && s <= b / 1e7 + 0.02) }'
  }
  until_ok 10 bar_sample \
    && pass "ex: the bar shows the share that has arrived" \
    || fail "ex: the bar shows $shown while $before to $after of 10000000 bytes had arrived (screenshot $work/bar.png)"
  echo "  (the bar showed $shown with $before to $after of 10000000 bytes in)"
  # EX is at dialog units 105,137 (55 x 15): a real click in the button's middle.
  xdotool mousemove --window "$WINDOW" $((WIDTH * 1325 / 2670)) $((HEIGHT * 1445 / 1590)) click 1
  if wait_end "$started" "$d"; then
    pass "ex: EX during the download ends the program"
    [ ! -e "$d/probe.log" ] && [ ! -e "$d/Big.dat" ] && [ "$(staged_files "$d")" -eq 0 ] && cmp -s "$root/slow/Small.dat" "$d/Small.dat" \
      && pass "ex: the finished file is installed, the cut one is not, the staging area is empty, no game" \
      || fail "ex: after EX: game $(game_starts "$d"), staged $(staged_files "$d"), Big.dat $(test -e "$d/Big.dat" && echo present)"
    until_ok 30 grep -q 'SENT [0-9]* [0-9]* incomplete' <(log_since "$mark") \
      && pass "ex: the server saw the transfer broken off" || fail "ex: the server did not see the transfer end early"
  else
    fail "ex: the program did not end after EX"
  fi
else
  fail "ex: the download did not start"
fi
: >"$control"
end_running_from "$d"

# box_then_end NAME PATTERN WHAT CHECK...: with the program started in $d, one box comes
# once the server's log (since $mark) shows PATTERN; Return ends the program, nothing is
# launched or left staged, and CHECK (a command, described by WHAT) holds.
box_then_end() {
  local name=$1 pattern=$2 what=$3
  shift 3
  if until_ok 60 has_box; then
    grep -q "$pattern" <(log_since "$mark") && pass "$name: the box comes after the server saw $pattern" \
      || fail "$name: the box came before $pattern: $(log_since "$mark" | tr '\n' ';')"
    keys Return
    if wait_end "$started" "$d"; then
      [ ! -e "$d/probe.log" ] && [ "$(staged_files "$d")" -eq 0 ] && "$@" \
        && pass "$name: OK ends the run; $what, nothing staged, no game" \
        || fail "$name: after OK: game $(game_starts "$d"), staged $(staged_files "$d"), or not: $what"
    else
      fail "$name: the program did not end after OK"
    fi
  else
    fail "$name: no box"
  fi
  : >"$control"
  end_running_from "$d"
}

# --- A file missing on the server: its box, then the end; nothing launched. ---------
blob "$root/missing/A.dat" 5000
printf 'C 2002-06-01 10:00 5000 A.dat A.dat\r\nC 2002-06-01 10:00 5000 Gone.dat data/Gone.dat\r\n' >"$root/missing/patch.lst"
d=$(install_dir missing)
wine_settings "$d" "$ftp_port" player secret /missing/
mark=$(log_mark)
start "$d"
box_then_end missing 'RETR /missing/data/Gone.dat' "the file before it is installed" cmp -s "$root/missing/A.dat" "$d/A.dat"

# --- A file the server cuts short (200,000 of 400,000 bytes) while it answers 226: its
# box, then the end; the old file stays, nothing is launched.
blob "$root/cut/Big.dat" 400000
printf 'C 2002-06-01 10:00 400000 Big.dat Big.dat\r\n' >"$root/cut/patch.lst"
d=$(install_dir cut)
wine_settings "$d" "$ftp_port" player secret /cut/
printf 'old big\n' >"$d/Big.dat"
printf 'cut_after=200000\npath=cut/Big.dat\n' >"$control"
mark=$(log_mark)
start "$d"
old_big_kept() { [ "$(cat "$d/Big.dat")" = "old big" ]; }
box_then_end cut 'SENT [0-9]* 200000 ' "the old file stays" old_big_kept

# --- More than the list says: a file listed as 1,000 bytes that the server sends without
# end (slowed to 4 MiB/s, so a program that failed to break it off would still stop at
# the time limit) while SIZE and the reply opening the transfer claim 2 GiB; and a gzip
# file of 64 KiB listed as unpacking to 1,000 bytes that unpacks to 64 MiB. Each ends in
# its box (the download's, then the damaged file's); the old file stays, nothing is
# installed or staged, no game, and the installation and the prefix's user files (the
# URL cache among them) take at most 4 MB more than before.
disk_use() { du -s --block-size=1 "$d" "$WINEPREFIX/drive_c/users" 2>/dev/null | awk '{ s += $1 } END { print s }'; }
old_kept_disk_same() {
  [ "$(cat "$d/Big.dat")" = "old big" ] && [ "$(disk_use)" -le $((disk_before + 4 * 1048576)) ]
}
blob "$root/bound-long/Big.dat" 1000
printf 'C 2002-06-01 10:00 1000 Big.dat Big.dat\r\n' >"$root/bound-long/patch.lst"
d=$(install_dir bound-long)
wine_settings "$d" "$ftp_port" player secret /bound-long/
printf 'old big\n' >"$d/Big.dat"
printf 'claim_size=2147483648\nannounce=1\nendless=1\nrate=4194304\npath=bound-long/Big.dat\n' >"$control"
disk_before=$(disk_use)
mark=$(log_mark)
start "$d"
box_then_end bound-long 'RETR /bound-long/Big.dat' "the old file stays, the disk as it was" old_kept_disk_same
broken_off() { log_since "$mark" | grep -q 'SENT [0-9]* [0-9]* incomplete'; }
until_ok 30 broken_off && pass "bound-long: the server saw the transfer broken off" \
  || fail "bound-long: the transfer was not broken off"

mkdir -p "$root/bound-bomb"
head -c 67108864 /dev/zero | gzip -9 -c >"$root/bound-bomb/Big.dat.gz"
printf 'Z 2002-06-01 10:00 1000:%s Big.dat Big.dat.gz\r\n' "$(stat -c %s "$root/bound-bomb/Big.dat.gz")" \
  >"$root/bound-bomb/patch.lst"
d=$(install_dir bound-bomb)
wine_settings "$d" "$ftp_port" player secret /bound-bomb/
printf 'old big\n' >"$d/Big.dat"
disk_before=$(disk_use)
mark=$(log_mark)
start "$d"
box_then_end bound-bomb "SENT [0-9]* $(stat -c %s "$root/bound-bomb/Big.dat.gz") complete" \
  "the old file stays, the disk as it was" old_kept_disk_same

# --- The staging folder Update\ is a Unix link to a folder outside the installation
# (Wine follows it as a folder): the download's temporary file is refused before
# anything is written, a box says so, and OK ends the run; nothing outside changes.
blob "$root/link/x.dat" 3000
printf 'C 2002-06-01 10:00 3000 x.dat x.dat\r\n' >"$root/link/patch.lst"
d=$(install_dir link)
wine_settings "$d" "$ftp_port" player secret /link/
outside=$work/cases/link-outside
mkdir -p "$outside"
printf 'planted\n' >"$work/planted"
cp "$work/planted" "$outside/x.dat"
ln -s "$outside" "$d/Update"
mark=$(log_mark)
start "$d"
outside_untouched() { [ "$(files_in "$outside")" = "./x.dat " ] && cmp -s "$work/planted" "$outside/x.dat" && [ ! -e "$d/x.dat" ]; }
box_then_end link 'RETR /link/patch.lst' "nothing written outside or installed" outside_untouched

# --- Local names Windows cannot hold as plain files (an alternate stream, devices in
# any component with any extension, a trailing dot, a wildcard, a forbidden character),
# between good lines: those lines are dropped, the good files installed, no box, the
# game started, and nothing written for the dropped ones (the server has their files).
blob "$root/names/Good.dat" 3000
for name in 'Data\x.dat:s' 'Data\Good.dat' CON 'Data\nul.txt' 'COM1\a.dat' 'Data\trail.' 'Data\what?.dat' \
  'Data\a<b.dat' Readme.txt; do
  printf 'C 2002-06-01 10:00 3000 %s Good.dat\r\n' "$name"
done >"$root/names/patch.lst"
d=$(install_dir names)
wine_settings "$d" "$ftp_port" player secret /names/
mkdir -p "$d/Data"
printf 'old x\n' >"$d/Data/x.dat"
mark=$(log_mark)
start "$d"
if until_ok 60 test -s "$d/probe.log" && wait_end "$started" "$d" && ! has_box; then
  [ "$(cat "$d/probe.log")" = "[ -U]" ] && cmp -s "$root/names/Good.dat" "$d/Data/Good.dat" \
    && cmp -s "$root/names/Good.dat" "$d/Readme.txt" && [ "$(cat "$d/Data/x.dat")" = "old x" ] \
    && [ "$(files_in "$d")" = "./Data/Good.dat ./Data/x.dat ./Readme.txt ./Vorn.exe ./VornPatch.ini ./ZidoDiruv.exe ./probe.log " ] \
    && [ "$(grep -c ' RETR ' <(log_since "$mark"))" -eq 3 ] \
    && pass "names: the good lines installed, the game started, nothing fetched or written for the dropped ones" \
    || fail "names: game $(game_starts "$d"), files $(files_in "$d"); server: $(grep ' RETR ' <(log_since "$mark") | tr '\n' ';')"
else
  fail "names: the run did not end with the game started and no box"
fi
end_running_from "$d"

# --- A list built by the publisher's tool, for an installation holding the version
# before: a local name as long as build allows (its folder part too) below an installation
# folder of --install-dir-max characters, packed in more than one gzip member, and a file
# that became a folder of the same name, whose deletion comes first in the list. All
# installed, the unchanged file not fetched, the game started, no box.
publish=${ZD_PUBLISH:-$(dirname "$0")/../../build/release/zidodiruv-publish}
if [ ! -x "$publish" ]; then
  echo "skipped: the publisher's tool's list: no tool at $publish (set ZD_PUBLISH)"
else
  cases_win=$(winpath "$work/cases")
  dir_max=$((${#cases_win} + 10 > 140 ? ${#cases_win} + 10 : 140))
  long_folder=$(printf 'f%.0s' $(seq $((239 - dir_max))))
  long_name="$long_folder/abc"
  rel=$work/publish
  mkdir -p "$rel/v1/Docs" "$rel/v2/Docs/readme.txt" "$rel/v2/$long_folder"
  printf 'the old readme\r\n' >"$rel/v1/Docs/readme.txt"
  printf 'kept\r\n' >"$rel/v1/Keep.dat"
  cp "$rel/v1/Keep.dat" "$rel/v2/Keep.dat"
  printf 'now a folder\r\n' >"$rel/v2/Docs/readme.txt/part.txt"
  { yes 'vorn zeda patch data line' || true; } | head -c 1500000 >"$rel/v2/$long_name"
  find "$rel" -type f -exec touch -d '2021-06-01 12:00' {} +
  if ! "$publish" build "$rel/v1" "$rel/srv1" >"$rel/out" 2>&1 \
    || ! "$publish" build "$rel/v2" "$root/tool" --previous "$rel/srv1/patch.lst" --install-dir-max "$dir_max" >>"$rel/out" 2>&1; then
    fail "publish: build failed: $(cat "$rel/out")"
  else
    name=p$(printf 'x%.0s' $(seq $((dir_max - ${#cases_win} - 2))))
    d=$(install_dir "$name")
    [ ${#cases_win} -eq $((dir_max - ${#name} - 1)) ] || fail "publish: the installation folder is not $dir_max characters long"
    wine_settings "$d" "$ftp_port" player secret /tool/
    cp -rp "$rel/v1/." "$d/"
    mark=$(log_mark)
    start "$d"
    if until_ok 60 test -s "$d/probe.log" && wait_end "$started" "$d" && ! has_box; then
      cmp -s "$rel/v2/$long_name" "$d/$long_name" && cmp -s "$rel/v2/Docs/readme.txt/part.txt" "$d/Docs/readme.txt/part.txt" \
        && [ "$(cat "$d/probe.log")" = "[ -U]" ] && [ "$(grep -c ' RETR ' <(log_since "$mark"))" -eq 3 ] \
        && [ "$(staged_files "$d")" -eq 0 ] \
        && pass "publish: a ${#long_name}-character name below a $dir_max-character folder and the file become a folder installed, the unchanged file kept" \
        || fail "publish: game $(game_starts "$d"), files $(files_in "$d"); server: $(grep ' RETR ' <(log_since "$mark") | tr '\n' ';')"
    else
      fail "publish: the run did not end with the game started and no box"
    fi
    end_running_from "$d"
  fi
fi

# --- A signed version made by the publisher's tool, for an installation holding its key:
# installed whole, the game started, the accepted sequence kept in VornPatch.seq. The
# same version with a file replaced on the server by other bytes of the same size: its
# box (after its download), the installed file as it was, nothing staged, no game.
if [ -x "$publish" ]; then
  rel=$work/signed
  mkdir -p "$rel/v1/Data"
  blob "$rel/v1/Data/Plain.dat" 3000
  { yes 'signed vorn data' || true; } | head -c 400000 >"$rel/v1/Data/Packed.dat"
  find "$rel/v1" -type f -exec touch -d '2021-06-01 12:00' {} +
  if "$publish" keygen "$rel/publisher.key" >"$rel/key" 2>&1 \
    && "$publish" build "$rel/v1" "$root/signed" --sign "$rel/publisher.key" >"$rel/out" 2>&1; then
    keyline=$(grep '^PUBLICKEY=' "$rel/key")
    d=$(install_dir signed)
    wine_settings "$d" "$ftp_port" player secret /signed/
    printf '%s\r\n' "$keyline" >>"$d/VornPatch.ini"
    start "$d"
    if until_ok 60 test -s "$d/probe.log" && wait_end "$started" "$d" && ! has_box; then
      cmp -s "$rel/v1/Data/Plain.dat" "$d/Data/Plain.dat" && cmp -s "$rel/v1/Data/Packed.dat" "$d/Data/Packed.dat" \
        && [ "$(tr -d '\r\n' <"$d/VornPatch.seq")" = 1 ] && [ "$(staged_files "$d")" -eq 0 ] \
        && pass "signed: the signed version installed with the key, its sequence kept" \
        || fail "signed: files $(files_in "$d"), sequence $(cat "$d/VornPatch.seq" 2>/dev/null)"
    else
      fail "signed: the run did not end with the game started and no box"
    fi
    end_running_from "$d"

    cp -r "$root/signed" "$root/signed-bad"
    plain=$(sed -n 's/^C [^ ]* [^ ]* 3000 Data\\Plain.dat \([^ \r]*\).*/\1/p' "$root/signed-bad/patch.lst")
    blob "$root/signed-bad/$plain" 3000
    d=$(install_dir signed-bad)
    wine_settings "$d" "$ftp_port" player secret /signed-bad/
    printf '%s\r\n' "$keyline" >>"$d/VornPatch.ini"
    mkdir -p "$d/Data"
    printf 'old plain\n' >"$d/Data/Plain.dat"
    mark=$(log_mark)
    start "$d"
    old_plain_kept() { [ "$(cat "$d/Data/Plain.dat")" = "old plain" ]; }
    box_then_end signed-bad "RETR /signed-bad/$plain" "the installed file stays" old_plain_kept
  else
    fail "signed: keygen or build failed: $(cat "$rel/key" "$rel/out" 2>/dev/null)"
  fi
fi

# --- The self-update: the old patcher downloads its successor (the same program with
# a note after its image), hands over to it, the copy replaces the installed patcher
# once the old one has ended, starts it with -D, and the renewed patcher deletes the
# copy once the copy has ended and runs the patch again, which finds everything current.
mkdir -p "$root/self"
{ cat "$exe"; printf '\nZidoDiruv build 2\n'; } >"$root/self/ZidoDiruv-2.exe"
blob "$root/self/data/Data.dat" 50000
{
  printf 'C 2002-06-01 10:00 50000 Data\\Data.dat data/Data.dat\r\n'
  printf 'P 2002-07-15 09:05 %s ZidoDiruv.exe ZidoDiruv-2.exe\r\n' "$(stat -c %s "$root/self/ZidoDiruv-2.exe")"
} >"$root/self/patch.lst"
d=$(install_dir self)
wine_settings "$d" "$ftp_port" player secret /self/
mark=$(log_mark)
t0=$SECONDS
start "$d"
if until_ok 90 test -s "$d/probe.log" && wait_end "$started" "$d"; then
  pass "self-update: the three processes ran and the game was started ($((SECONDS - t0)) s)"
  cmp -s "$root/self/ZidoDiruv-2.exe" "$d/ZidoDiruv.exe" && pass "self-update: the installed patcher is the new build" \
    || fail "self-update: the installed patcher was not replaced"
  [ "$(times "$d" ZidoDiruv.exe)" = "2002-07-15 09:05 $(stat -c %s "$root/self/ZidoDiruv-2.exe")" ] \
    && pass "self-update: the renewed patcher reads back with the listed time" \
    || fail "self-update: the renewed patcher reads back as $(times "$d" ZidoDiruv.exe)"
  [ ! -e "$d/Update/ZidoDiruv.exe" ] && [ "$(staged_files "$d")" -eq 0 ] && pass "self-update: the staging copy is gone" \
    || fail "self-update: staged files left: $(find "$d/Update" -type f)"
  [ "$(cat "$d/probe.log")" = "[ -U]" ] && pass "self-update: the game was started once, with ' -U'" \
    || fail "self-update: the game's starts: $(cat "$d/probe.log")"
  since=$(log_since "$mark")
  [ "$(grep -c 'RETR /self/patch.lst' <<<"$since")" -eq 2 ] && [ "$(grep -c 'RETR /self/ZidoDiruv-2.exe' <<<"$since")" -eq 1 ] \
    && [ "$(grep -c 'RETR /self/data/Data.dat' <<<"$since")" -eq 1 ] \
    && pass "self-update: the renewed patcher read the list again and found its entry and the data current" \
    || fail "self-update: the server saw: $(grep ' RETR ' <<<"$since" | tr '\n' ';')"
else
  fail "self-update: the hand-off did not end with the game started"
  has_box && fail "self-update: a box is up"
fi
end_running_from "$d"

if [ "$failures" -ne 0 ]; then
  echo "$failures case(s) failed" >&2
  exit 1
fi
echo "all Wine run cases passed"
