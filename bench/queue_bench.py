#!/usr/bin/python3
"""Peak memory of the real program when its patch list queues every line: a list of
--lines files (default 100,000) that are all missing from the installation, each one
entry of the queue at once.

  bench/queue_bench.py [--lines N] [--rounds R] [--linux PROGRAM] [--before-linux PROGRAM]
                       [--exe EXE] [--before-exe EXE] [--limit-mib M] [--quick]

Each case is one run of the program as a user starts it, on a display of its own, against
the test FTP server (pyftpdlib on loopback). The run logs on, fetches the list, parses it
into its queue and logs on again for the first file: that second log-on, seen in the
server's log, means the whole queue is built, and the program is ended there (SIGKILL; the
files are on no server). Two lists: "one" names a single missing file (the program's own
floor: code, libraries, window, FTP client), "list" names --lines of them, a thousand per
folder, with local and remote names of 21 characters ("Data\\D012\\F012345.dat"), in an
installation folder of some 40 characters under $TMPDIR or /tmp (printed: each character
more costs two bytes per queued line, in its installed and its staging path).

Reported per program, medians of the rounds: the peak resident size of the program's
process (ru_maxrss of the killed process; under Wine the Windows program's own Unix
process, which also holds Wine's loader and the DLLs it maps; the Wine server is not
counted), what each queued line adds to it, and the time from the start to the first
file's log-on (start-up, list, parse and check).

Programs: --linux (default build/release/zidodiruv) and, when given, --before-linux (an
earlier build, say); --exe and --before-exe the same for ZidoDiruv.exe under Wine (in the
prefix --prefix, by default build/win32/bench-prefix, shared with wine_bench.py). Every round runs every case
with every program, one after the other.

--limit-mib M: exit 1 when the Linux program's peak on the long list is above M MiB.
--quick: the Linux program alone, one round, --limit-mib 64 unless given (the form CI runs).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_bench import Server, reexec_in_own_network, start_display, start_wine  # noqa: E402

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024


def write_list(path, lines):
    with open(path, "w", newline="") as f:
        for i in range(lines):
            d = i // 1000
            f.write("C 2002-06-01 14:30 %d Data\\D%03d\\F%06d.dat data/D%03d/F%06d.dat\r\n" % (1000 + i % 7, d, i, d, i))


def logins_since(log, mark):
    try:
        with open(log, "rb") as f:
            f.seek(mark)
            return sum(1 for line in f if line.startswith(b"LOGIN ") and line.rstrip().endswith(b" OK"))
    except FileNotFoundError:
        return 0


def log_size(log):
    try:
        return os.path.getsize(log)
    except FileNotFoundError:
        return 0


def run_until_queued(argv, cwd, env, log, limit):
    """Starts argv; once the server has seen its second log-on, kills it. Returns
    (seconds to that log-on, peak resident KiB), or None when the program ended at once
    without connecting: a single-instance refusal (see main)."""
    mark = log_size(log)
    start = time.monotonic()
    output = os.path.join(cwd, "output.txt")
    with open(output, "wb") as out:
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    try:
        while logins_since(log, mark) < 2:
            if proc.poll() is not None:
                with open(log, "rb") as f:
                    f.seek(mark)
                    seen = f.read()[-1000:].decode(errors="replace")
                if proc.returncode == 0 and not seen:
                    return None
                with open(output, "rb") as f:
                    said = f.read()[-2000:].decode(errors="replace")
                sys.exit("the program ended (%d) before its first file's log-on: %s\n%s\nthe server saw:\n%s" %
                         (proc.returncode, " ".join(argv), said, seen))
            if time.monotonic() - start > limit:
                sys.exit("no second log-on within %d s: %s" % (limit, " ".join(argv)))
            time.sleep(0.01)
        seconds = time.monotonic() - start
    finally:
        if proc.returncode is None:
            proc.kill()
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = -9
    return seconds, usage.ru_maxrss


def restart_wine_server(env):
    """A fresh Wine server for the prefix: a killed program's objects (its single-instance
    mutex among them) are not always released by the running server at once."""
    for argv in (["wineserver", "-k"], ["wineserver", "-w"], ["wineserver", "-p60"]):
        subprocess.run(["timeout", "-k", "5", "120"] + argv, env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    reexec_in_own_network()
    ap = argparse.ArgumentParser()
    ap.add_argument("--lines", type=int, default=100000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--linux", default=os.path.join(TOP, "build", "release", "zidodiruv"))
    ap.add_argument("--before-linux")
    ap.add_argument("--exe")
    ap.add_argument("--before-exe")
    ap.add_argument("--prefix", default=os.path.join(TOP, "build", "win32", "bench-prefix"))
    ap.add_argument("--limit-mib", type=float)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    if args.quick:
        args.rounds = 1
        args.before_linux = args.exe = args.before_exe = None
        if args.limit_mib is None:
            args.limit_mib = 64
    programs = [("Linux", args.linux, "linux")]
    if args.before_linux:
        programs.append(("Linux-before", args.before_linux, "linux"))
    if args.exe:
        programs.append(("Wine", args.exe, "wine"))
    if args.before_exe:
        programs.append(("Wine-before", args.before_exe, "wine"))
    for _, p, _ in programs:
        if not os.path.exists(p):
            sys.exit("missing %s (see README, Benchmarks)" % p)

    work = tempfile.mkdtemp(prefix="zd-queue-")
    root = os.path.join(work, "server")
    os.makedirs(os.path.join(root, "one"))
    os.makedirs(os.path.join(root, "list"))
    write_list(os.path.join(root, "one", "patch.lst"), 1)
    write_list(os.path.join(root, "list", "patch.lst"), args.lines)
    state = os.path.join(work, "state")
    server = Server(root, state)
    log = os.path.join(state, "log")
    cleanup = [lambda: shutil.rmtree(work, ignore_errors=True), server.stop]
    print("installation folders: %s (%d characters)" % (os.path.join(work, "install-Linux"),
                                                      len(os.path.join(work, "install-Linux"))))
    try:
        env = dict(os.environ)
        start_display(env, cleanup)
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700)
        env["XDG_RUNTIME_DIR"] = runtime
        env["XDG_CONFIG_DIRS"] = os.path.join(work, "xdg")
        if any(kind == "wine" for _, _, kind in programs):
            start_wine(env, os.path.abspath(args.prefix), cleanup)

        results = {}
        for rnd in range(args.rounds):
            for case in ("one", "list"):
                for label, program, kind in programs:
                    inst = os.path.join(work, "install-" + label)
                    shutil.rmtree(inst, ignore_errors=True)
                    os.makedirs(inst)
                    if kind == "wine":
                        shutil.copy(program, os.path.join(inst, "ZidoDiruv.exe"))
                        argv = ["wine", "./ZidoDiruv.exe"]
                    else:
                        shutil.copy(program, os.path.join(inst, "zidodiruv"))
                        argv = ["./zidodiruv"]
                    with open(os.path.join(inst, "VornPatch.ini"), "w", newline="") as f:
                        f.write("[PATCH_FTP]\r\nSERVERIP=127.0.0.1\r\nPORT=%d\r\nUSERID=bench\r\nPASSWD=bench\r\n"
                                "BASEDIRECTORY=/%s/\r\nLISTFILE=patch.lst\r\n" % (server.port, case))
                    if kind == "wine":
                        restart_wine_server(env)
                    # A killed program's single-instance lock may outlive it for a moment;
                    # until then a new program refuses to start (and exits at once, as a
                    # second copy does).
                    deadline = time.monotonic() + 60
                    measured = run_until_queued(argv, inst, env, log, 900)
                    while measured is None and time.monotonic() < deadline:
                        time.sleep(0.5)
                        measured = run_until_queued(argv, inst, env, log, 900)
                    if measured is None:
                        sys.exit("the program would not start: %s" % " ".join(argv))
                    seconds, peak = measured
                    results.setdefault((label, case), []).append((seconds, peak))
                    print("  round %d  %-12s %-4s %7.2f s  peak %7.1f MiB" % (rnd + 1, label, case, seconds,
                                                                           peak / 1024.0), flush=True)
                    shutil.rmtree(inst, ignore_errors=True)
    finally:
        for c in reversed(cleanup):
            try:
                c()
            except Exception:
                pass

    def median(label, case, i):
        return statistics.median([r[i] for r in results[(label, case)]])

    labels = [p[0] for p in programs]
    print()
    print("%d missing files listed; medians of %d round(s)" % (args.lines, args.rounds))
    print("%-44s" % "" + "".join("%14s" % l for l in labels))
    row = lambda title, f: print("%-44s" % title + "".join("%14s" % f(l) for l in labels))
    row("peak resident, one line (MiB)", lambda l: "%.1f" % (median(l, "one", 1) / 1024.0))
    row("peak resident, %d lines (MiB)" % args.lines, lambda l: "%.1f" % (median(l, "list", 1) / 1024.0))
    row("  per queued line (bytes)",
        lambda l: "%.0f" % ((median(l, "list", 1) - median(l, "one", 1)) * 1024.0 / max(args.lines - 1, 1)))
    row("start to the first file's log-on, one (s)", lambda l: "%.2f" % median(l, "one", 0))
    row("start to the first file's log-on, list (s)", lambda l: "%.2f" % median(l, "list", 0))
    if args.limit_mib is not None:
        peak = median("Linux", "list", 1) / 1024.0
        if peak > args.limit_mib:
            sys.exit("the Linux program's peak, %.1f MiB, is above %.0f MiB" % (peak, args.limit_mib))
        print("the Linux program's peak is within %.0f MiB" % args.limit_mib)


if __name__ == "__main__":
    main()
