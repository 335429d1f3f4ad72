#!/usr/bin/python3
"""Writes the demo's two release folders and sample installation.

Usage: make_sample.py --releases WORK_DIR INSTALL_DIR PORT

Two release folders, for zidodiruv-publish to build the server side from:
WORK_DIR/release-1, the version the installation was last patched to, and
WORK_DIR/release-2, the next one (one file changed, new ones, one gone, one copied anew
unchanged).
Installation: VornPatch.ini pointing at 127.0.0.1:PORT, a stand-in Vorn.exe that records
how it was started, one file that is already current, one that is out of date, and one
that the next version deletes.
"""
import os
import random
import sys
import time

if len(sys.argv) != 5 or sys.argv[1] != "--releases":
    sys.exit(__doc__)
work, install, port = sys.argv[2], sys.argv[3], int(sys.argv[4])
rng = random.Random(7)


def text_blob(size):
    words = [b"vorn", b"zeda", b"patch", b"map", b"data", b"level", b"quest", b"guild", b"sword", b"crystal"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def stamp_local(path, date, hhmm):
    """The file's last-write time as the given local date and time, converted with the
    offset of that date and time, as the patcher stamps."""
    moment = time.mktime(time.strptime(date + " " + hhmm, "%Y-%m-%d %H:%M"))
    os.utime(path, (moment, moment))


def write_releases(work):
    """Two versions of the game's files, with their last-write times as published."""
    one, two = os.path.join(work, "release-1"), os.path.join(work, "release-2")
    current = text_blob(20000)
    for root in (one, two):
        write(os.path.join(root, "Data", "Current.dat"), current)
    stamp_local(os.path.join(one, "Data", "Current.dat"), "2002-05-20", "08:00")
    write(os.path.join(one, "Data", "Map", "Map01.dat"), text_blob(3 * 1024 * 1024))
    stamp_local(os.path.join(one, "Data", "Map", "Map01.dat"), "2002-05-20", "08:00")
    write(os.path.join(one, "Data", "Obsolete.dat"), b"this file is removed by the patch\n")
    stamp_local(os.path.join(one, "Data", "Obsolete.dat"), "2002-05-20", "08:00")
    # The next version: Current.dat copied anew (a new time, the same content).
    files = [
        ("Data/Map/Map01.dat", text_blob(3 * 1024 * 1024), "2002-06-01", "14:30"),
        ("Data/Map/Map02.dat", text_blob(2 * 1024 * 1024), "2002-06-01", "14:31"),
        ("Data/Sound/Theme.snd", bytes(rng.getrandbits(8) for _ in range(1536 * 1024)), "2002-06-02", "09:00"),
        ("Readme.txt", text_blob(4096), "2002-06-02", "09:05"),
        ("Data/Big.pak", text_blob(6 * 1024 * 1024), "2002-06-03", "10:00"),
        ("Data/Sound/Voices.pak", text_blob(2 * 1024 * 1024), "2002-06-03", "10:01"),
    ]
    for name, data, date, hhmm in files:
        write(os.path.join(two, name), data)
        stamp_local(os.path.join(two, name), date, hhmm)
    # The installation holds release 1's current file with its listed time.
    target = os.path.join(install, "Data", "Current.dat")
    write(target, current)
    stamp_local(target, "2002-05-20", "08:00")


write_releases(work)
write(os.path.join(install, "Data", "Obsolete.dat"), b"this file is removed by the patch\n")
write(os.path.join(install, "Data", "Map", "Map01.dat"), b"an old version of the map\n")
write(os.path.join(install, "VornPatch.ini"), (
    "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=%d\nUSERID=vorn\nPASSWD=demo\n"
    "BASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n" % port).encode())
game = os.path.join(install, "Vorn.exe")
write(game, b'#!/bin/sh\necho "Vorn.exe started with arguments: $*" >> "$(dirname "$0")/game-started.txt"\n')
os.chmod(game, 0o755)
