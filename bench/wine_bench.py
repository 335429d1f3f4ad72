#!/usr/bin/python3
"""Whole patch runs of the Windows program under Wine, next to the floor of the same
platform and to the Linux program, on the same test FTP server (pyftpdlib on loopback)
and the same machine.

  bench/wine_bench.py [--large BYTES] [--files N] [--size BYTES] [--rounds R]
         [--exe build/win32/ZidoDiruv.exe] [--linux build/release/zidodiruv]
         [--floor build/win32/bench/wine_floor.exe]
         [--before-exe EXE] [--before-linux PROGRAM] [--announce] [--signed]

Each case is one run of the real program, started as a user starts it and timed from
its start to its exit (it exits after starting the stand-in game, which is checked):
  empty   a list whose every entry is current: start-up, log-on, list, game, exit
  large   one 'C' entry of --large bytes (default 256 MiB)
  small   --files 'C' entries of --size bytes (default 500 of 4 KiB), one connection
          and log-on per file
  signed  with --signed: the large file again, in a list signed by the publisher's tool
          (build --sign, the file stored as it is) for an installation holding the key,
          so the file's SHA-256 is checked; the floor does not take part
The floor (bench/wine_floor.cpp, built with the Windows program) is the least a WinINet
program does for the same files: a fresh connection per file, FtpOpenFileA and a 64 KiB
InternetReadFile loop into a local file, synchronous, no window. Its "empty" run fetches
the list alone, its other runs the list and the case's files.
--before-exe and --before-linux add columns for other builds of the programs (an earlier
commit, say), measured in the same interleaved rounds. The test server (pyftpdlib) states
no size when it opens a transfer, so ZidoDiruv.exe asks with one SIZE per file; with
--announce it states it, as vsftpd and many others do ("150 ... (4096 bytes)"), and no
SIZE is sent.

Every round runs every case with every program, one after the other, so a machine that
gets busier or quieter during the benchmark touches every column alike; each run starts
with the prefix's URL cache emptied (Wine's WinINet copies every download there, and the
floor and older builds leave the copies, which slow the next run's downloads of the
same names); the figures are
the medians over the rounds (default 3). The figures: the run's time; for the large file
its time over the empty run (the transfer and installation alone) and the rate; for the
small files the time per file over the empty run's time ((small - empty) / files); and
for ZidoDiruv.exe both again as a multiple of the floor's.
Peak memory: the largest resident set the program's process reached (ru_maxrss of the
waited-for process, from wait4). Under Wine that is the Windows program's own Unix
process, which also holds Wine's loader and the system DLLs it maps; the Wine server is
a separate process and is not counted (its own peak is printed beside it when it is
found).

All programs run on one Xvfb; the Wine prefix is build/win32/bench-prefix (made on the
first run). Runs inside a network namespace of its own where it can (the Linux program
allows one run per user and network namespace). Disk: the server's large file plus one
installed copy at a time, under build/wine-bench/.
"""

import argparse
import os
import pwd
import shutil
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "build", "wine-bench")


def reexec_in_own_network():
    if os.environ.get("ZD_BENCH_NETNS") or os.geteuid() != 0 or not shutil.which("unshare"):
        return
    env = dict(os.environ, ZD_BENCH_NETNS="1")
    script = 'ip link set lo up && exec "$@"'
    cmd = ["unshare", "-n", "sh", "-c", script, "sh", sys.executable] + sys.argv
    os.execvpe("unshare", cmd, env)


def until(limit, check, what):
    deadline = time.monotonic() + limit
    while not check():
        if time.monotonic() > deadline:
            sys.exit("timed out waiting for " + what)
        time.sleep(0.05)


def write_file(path, size, seed):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    block = (bytes(range(256)) * 4096)[seed % 256:][:1 << 20]
    block = block + block[:(1 << 20) - len(block)]
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def stamp(path, date, hhmm):
    # Local time with the offset of that date, as the patcher stamps.
    t = time.mktime(time.strptime(date + " " + hhmm, "%Y-%m-%d %H:%M"))
    os.utime(path, (t, t))


class Server:
    def __init__(self, root, state):
        os.makedirs(root, exist_ok=True)
        os.makedirs(state, exist_ok=True)
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(TOP, "tests", "support", "ftp_server.py"), "--root", root,
             "--state", state, "--user", "bench", "--password", "bench"],
            stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "PORT":
            sys.exit("the FTP server did not start")
        self.port = int(line[1])

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def run_measured(argv, cwd, env, limit):
    """Runs argv to its end; returns (seconds, peak resident KiB, exit code)."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = start + limit
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return time.monotonic() - start, usage.ru_maxrss, proc.returncode
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait()
            sys.exit("a run took longer than %d s: %s" % (limit, " ".join(argv)))
        time.sleep(0.01)


def peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def start_display(env, cleanup):
    """Xvfb on a display it picks itself, named in env["DISPLAY"]; its end goes to cleanup."""
    env.pop("DISPLAY", None)
    rfd, wfd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(wfd)
    cleanup.append(lambda: (xvfb.terminate(), xvfb.wait()))
    display = os.read(rfd, 64).decode().split()[0]
    env["DISPLAY"] = ":" + display


def start_wine(env, prefix, cleanup):
    """The Wine prefix (made on the first run) with a Wine server of its own, which cleanup
    stops; returns the server's process id (0 when it was not found)."""
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    subprocess.run(["timeout", "-k", "5", "300", "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["timeout", "-k", "5", "60", "wineserver", "-p60"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cleanup.append(lambda: subprocess.run(["timeout", "-k", "5", "60", "wineserver", "-k"], env=env))
    # The prefix's Wine server works in a directory named after the prefix's device and
    # inode; that tells it from other prefixes' servers.
    st = os.stat(prefix)
    server_dir = "/tmp/.wine-%d/server-%x-%x" % (os.getuid(), st.st_dev, st.st_ino)
    wineserver = 0
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink("/proc/%s/cwd" % entry) == server_dir and \
                    os.path.basename(os.readlink("/proc/%s/exe" % entry)).startswith("wineserver"):
                wineserver = int(entry)
        except OSError:
            pass
    subprocess.run(["timeout", "-k", "5", "120", "wine", "cmd", "/c", "exit", "0"], env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return wineserver


def main():
    reexec_in_own_network()
    ap = argparse.ArgumentParser()
    ap.add_argument("--large", type=int, default=256 << 20)
    ap.add_argument("--files", type=int, default=500)
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--exe", default=os.path.join(TOP, "build", "win32", "ZidoDiruv.exe"))
    ap.add_argument("--linux", default=os.path.join(TOP, "build", "release", "zidodiruv"))
    ap.add_argument("--floor", default=os.path.join(TOP, "build", "win32", "bench", "wine_floor.exe"))
    ap.add_argument("--before-exe")
    ap.add_argument("--before-linux")
    ap.add_argument("--announce", action="store_true")
    ap.add_argument("--signed", action="store_true")
    ap.add_argument("--publish", default=os.path.join(TOP, "build", "release", "zidodiruv-publish"))
    args = ap.parse_args()
    cases = ("empty", "large", "small") + (("signed",) if args.signed else ())
    # (label, program, kind): kind is how it is run and checked.
    programs = [("Linux", args.linux, "linux")]
    if args.before_linux:
        programs.append(("Linux-before", args.before_linux, "linux"))
    programs.append(("Wine", args.exe, "wine"))
    if args.before_exe:
        programs.append(("Wine-before", args.before_exe, "wine"))
    programs.append(("floor", args.floor, "floor"))
    for _, p, _ in programs:
        if not os.path.exists(p):
            sys.exit("missing %s (see README, Benchmarks)" % p)
    probe = os.path.join(os.path.dirname(args.exe), "tests", "zd_probe_win32.exe")
    if not os.path.exists(probe):
        sys.exit("missing " + probe)

    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    root = os.path.join(WORK, "server")
    server = Server(root, os.path.join(WORK, "state"))
    if args.announce:
        with open(os.path.join(WORK, "state", "control"), "w") as f:
            f.write("announce=1\n")
    cleanup = [server.stop]
    try:
        env = dict(os.environ)
        start_display(env, cleanup)
        runtime = os.path.join(WORK, "runtime")
        os.makedirs(runtime, mode=0o700)
        env["XDG_RUNTIME_DIR"] = runtime
        env["XDG_CONFIG_DIRS"] = os.path.join(WORK, "xdg")
        wineserver = start_wine(env, os.path.join(TOP, "build", "win32", "bench-prefix"), cleanup)
        cache_dir = os.path.join(env["WINEPREFIX"], "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name, "AppData",
                                 "Local", "Microsoft", "Windows", "INetCache")

        # The server's trees: one base directory per case, and the floor's lists of names.
        print("writing the server's files (%d bytes, %d x %d bytes)..." % (args.large, args.files, args.size))
        names = {}
        write_file(os.path.join(root, "large", "Large.dat"), args.large, 1)
        with open(os.path.join(root, "large", "patch.lst"), "w", newline="") as f:
            f.write("C 2002-06-01 14:30 %d Large.dat Large.dat\r\n" % args.large)
        names["large"] = ["/large/patch.lst", "/large/Large.dat"]
        os.makedirs(os.path.join(root, "small"), exist_ok=True)
        names["small"] = ["/small/patch.lst"]
        with open(os.path.join(root, "small", "patch.lst"), "w", newline="") as f:
            for i in range(args.files):
                name = "f%05d.dat" % i
                write_file(os.path.join(root, "small", "files", name), args.size, i)
                f.write("C 2002-06-01 14:30 %d Small\\%s files/%s\r\n" % (args.size, name, name))
                names["small"].append("/small/files/" + name)
        write_file(os.path.join(root, "empty", "Current.dat"), 1000, 3)
        with open(os.path.join(root, "empty", "patch.lst"), "w", newline="") as f:
            f.write("C 2002-06-01 14:30 1000 Current.dat Current.dat\r\n")
        names["empty"] = ["/empty/patch.lst"]
        expected = {"empty": 1, "large": 2, "small": 1 + args.files}
        key_line = ""
        if args.signed:
            release = os.path.join(WORK, "signed-release")
            os.makedirs(release)
            os.link(os.path.join(root, "large", "Large.dat"), os.path.join(release, "Large.dat"))
            key = os.path.join(WORK, "publisher.key")
            made = subprocess.run([args.publish, "keygen", key], capture_output=True, text=True, check=True)
            key_line = [l for l in made.stdout.splitlines() if l.startswith("PUBLICKEY=")][0]
            subprocess.run([args.publish, "build", release, os.path.join(root, "signed"), "--sign", key,
                            "--stored", ".dat"], capture_output=True, check=True)

        results = {}
        for rnd in range(args.rounds):
            for case in cases:
                for label, program, kind in programs:
                    if case == "signed" and kind == "floor":
                        continue
                    inst = os.path.join(WORK, "install-" + label)
                    shutil.rmtree(inst, ignore_errors=True)
                    os.makedirs(inst)
                    started = os.path.join(inst, "probe.log")
                    if kind == "floor":
                        out = os.path.join(inst, "out")
                        os.makedirs(out)
                        with open(os.path.join(inst, "names.txt"), "w") as f:
                            f.write("\n".join(names[case]) + "\n")
                        shutil.copy(program, os.path.join(inst, "wine_floor.exe"))
                        argv = ["wine", "./wine_floor.exe", "127.0.0.1", str(server.port), "bench", "bench",
                                "names.txt", "out"]
                    elif kind == "wine":
                        shutil.copy(program, os.path.join(inst, "ZidoDiruv.exe"))
                        shutil.copy(probe, os.path.join(inst, "Vorn.exe"))
                        argv = ["wine", "./ZidoDiruv.exe"]
                    else:
                        shutil.copy(program, os.path.join(inst, "zidodiruv"))
                        with open(os.path.join(inst, "Vorn.exe"), "w") as f:
                            f.write('#!/bin/sh\necho "[ $*]" >> "$(dirname "$0")/probe.log"\n')
                        os.chmod(os.path.join(inst, "Vorn.exe"), 0o755)
                        argv = ["./zidodiruv"]
                    with open(os.path.join(inst, "VornPatch.ini"), "w", newline="") as f:
                        f.write("[PATCH_FTP]\r\nSERVERIP=127.0.0.1\r\nPORT=%d\r\nUSERID=bench\r\nPASSWD=bench\r\n"
                                "BASEDIRECTORY=/%s/\r\nLISTFILE=patch.lst\r\n" % (server.port, case))
                        if case == "signed":
                            f.write(key_line + "\r\n")
                    if case == "empty":
                        shutil.copy(os.path.join(root, "empty", "Current.dat"), os.path.join(inst, "Current.dat"))
                        stamp(os.path.join(inst, "Current.dat"), "2002-06-01", "14:30")
                    shutil.rmtree(cache_dir, ignore_errors=True)
                    seconds, peak, code = run_measured(argv, inst, env, 1800)
                    if kind == "floor":
                        if code != 0 or len(os.listdir(out)) != expected[case]:
                            sys.exit("the floor did not fetch every file (%s)" % case)
                        if case == "large" and os.path.getsize(os.path.join(out, "1")) != args.large:
                            sys.exit("the floor's large file is not whole")
                    else:
                        until(30, lambda: os.path.exists(started), "the game's start (%s %s)" % (label, case))
                        if case in ("large", "signed") and os.path.getsize(os.path.join(inst, "Large.dat")) != args.large:
                            sys.exit("the large file was not installed whole (%s)" % label)
                        if case == "small" and len(os.listdir(os.path.join(inst, "Small"))) != args.files:
                            sys.exit("not every small file was installed (%s)" % label)
                    results.setdefault((label, case), []).append((seconds, peak))
                    print("  round %d  %-12s %-5s %8.2f s  peak %7.1f MiB" % (rnd + 1, label, case, seconds,
                                                                            peak / 1024.0), flush=True)
                    shutil.rmtree(inst, ignore_errors=True)

        def t(label, case):
            return statistics.median([r[0] for r in results[(label, case)]])

        def over_empty(label, case):
            return t(label, case) - t(label, "empty")

        labels = [p[0] for p in programs]
        print()
        print("medians of %d interleaved rounds" % args.rounds)
        print("%-40s" % "" + "".join("%13s" % l for l in labels))
        row = lambda title, f: print("%-40s" % title + "".join("%13s" % f(l) for l in labels))
        row("empty run, start to exit (s)", lambda l: "%.2f" % t(l, "empty"))
        row("%d MiB file, whole run (s)" % (args.large >> 20), lambda l: "%.2f" % t(l, "large"))
        row("  over the empty run (s)", lambda l: "%.3f" % over_empty(l, "large"))
        row("  rate over the empty run (MB/s)", lambda l: "%.0f" % (args.large / 1e6 / max(over_empty(l, "large"), 1e-6)))
        row("%d x %d B, whole run (s)" % (args.files, args.size), lambda l: "%.2f" % t(l, "small"))
        row("  per file, over the empty run (ms)", lambda l: "%.2f" % (over_empty(l, "small") * 1000 / args.files))
        if args.signed:
            row("%d MiB file, signed, whole run (s)" % (args.large >> 20), lambda l: "%.2f" % t(l, "signed") if (l, "signed") in results else "-")
            row("  over the empty run (s)", lambda l: "%.3f" % over_empty(l, "signed") if (l, "signed") in results else "-")
            row("  signed over unsigned (over empty)", lambda l: "%.2fx" % (over_empty(l, "signed") / max(over_empty(l, "large"), 1e-6)) if (l, "signed") in results else "-")
        for case in ("empty", "large", "small"):
            row("peak resident, %s (MiB)" % case,
                lambda l: "%.1f" % (statistics.median([r[1] for r in results[(l, case)]]) / 1024.0))
        for label in labels:
            if label.startswith("Wine"):
                print("%s against the floor: large file %.2fx, per small file %.2fx (times over the empty runs)" %
                      (label, over_empty(label, "large") / max(over_empty("floor", "large"), 1e-6),
                       over_empty(label, "small") / max(over_empty("floor", "small"), 1e-6)))
        if wineserver:
            print("the Wine server's own peak resident: %.1f MiB" % (peak_kib(wineserver) / 1024.0))
    finally:
        for c in reversed(cleanup):
            try:
                c()
            except Exception:
                pass


if __name__ == "__main__":
    main()
