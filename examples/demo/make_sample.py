#!/usr/bin/python3
"""Writes the demo's sample patch (server side) and sample installation.

Usage: make_sample.py SERVER_ROOT INSTALL_DIR PORT

Server: /patch/patch.lst and the files it names, plain and gzip-compressed.
Installation: VornPatch.ini pointing at 127.0.0.1:PORT, a stand-in Vorn.exe that
records how it was started, one file that is already current, one that is out of
date, and one that the list deletes.
"""
import gzip
import os
import random
import sys
import time

server, install, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
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


lines = ["# Vorn demo patch", "' kinds: C plain, Z gzip, D delete"]
plain = [
    ("Data\\Map\\Map01.dat", "data/map/Map01.dat", 3 * 1024 * 1024, "2002-06-01", "14:30"),
    ("Data\\Map\\Map02.dat", "data/map/Map02.dat", 2 * 1024 * 1024, "2002-06-01", "14:31"),
    ("Data\\Sound\\Theme.snd", "data/sound/Theme.snd", 1536 * 1024, "2002-06-02", "09:00"),
    ("Readme.txt", "Readme.txt", 4096, "2002-06-02", "09:05"),
    ("Data\\Current.dat", "data/Current.dat", 20000, "2002-05-20", "08:00"),
]
for local, remote, size, date, hhmm in plain:
    data = text_blob(size)
    write(os.path.join(server, "patch", remote), data)
    lines.append("C %s %s %d %s %s" % (date, hhmm, size, local, remote))
    if local == "Data\\Current.dat":
        # Already current: same size, stamped with the listed local time.
        target = os.path.join(install, "Data", "Current.dat")
        write(target, data)
        # The patcher converts with the offset from UTC of the listed date: stamp the
        # same way.
        stamp = time.mktime(time.strptime(date + " " + hhmm, "%Y-%m-%d %H:%M"))
        os.utime(target, (stamp, stamp))

packed = [
    ("Data\\Big.pak", "data/Big.pak.gz", 6 * 1024 * 1024, "2002-06-03", "10:00"),
    ("Data\\Sound\\Voices.pak", "data/sound/Voices.pak.gz", 2 * 1024 * 1024, "2002-06-03", "10:01"),
]
for local, remote, size, date, hhmm in packed:
    raw = text_blob(size)
    gz = gzip.compress(raw, 6)
    write(os.path.join(server, "patch", remote), gz)
    lines.append("Z %s %s %d:%d %s %s" % (date, hhmm, size, len(gz), local, remote))

lines.append("D 2002-06-04 12:00 0 Data\\Obsolete.dat Obsolete.dat")
write(os.path.join(server, "patch", "patch.lst"), ("\r\n".join(lines) + "\r\n").encode())

write(os.path.join(install, "Data", "Obsolete.dat"), b"this file is removed by the patch\n")
write(os.path.join(install, "Data", "Map", "Map01.dat"), b"an old version of the map\n")
write(os.path.join(install, "VornPatch.ini"), (
    "[PATCH_FTP]\nSERVERIP=127.0.0.1\nPORT=%d\nUSERID=vorn\nPASSWD=demo\n"
    "BASEDIRECTORY=/patch/\nLISTFILE=patch.lst\n" % port).encode())
game = os.path.join(install, "Vorn.exe")
write(game, b'#!/bin/sh\necho "Vorn.exe started with arguments: $*" >> "$(dirname "$0")/game-started.txt"\n')
os.chmod(game, 0o755)
