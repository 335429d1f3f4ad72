#!/usr/bin/python3
"""Benchmark of `zidodiruv-publish build` next to a plain `find | xargs gzip -n` on the same trees.

Usage: publish_bench.py [--tool PATH] [--before PATH] [--signed] [--work DIR] [--files N] [--bytes B]
                        [--large-files K] [--rounds R] [--quick]

Two release trees are made once (kept in WORK between runs of the same size):
  many  N files (default 100,000) of 1-16 KiB in folders of 100: nine in ten text-like game
        data, one in ten random bytes named .png (stored as they are by the tool);
  large B bytes (default 2 GiB) cut into K files (default 8, at most 256 MiB each unless
        K says otherwise) of text-like data; with K of 8 or more, one in eight is random bytes
        named .bin (the tool compresses it, finds it does not pay, and copies it).
On each tree, R rounds (default 2), interleaved: the tool builds a server folder (hashing,
packing on every core, writing the list and the manifest), then, with --before, another
build of the tool (an earlier commit) does the same, with --signed the tool builds a signed
list (`build --sign`, with a key made once in WORK: the SHA-256 of every stored file and the
signature on top of the unsigned build's work), then the baseline
`find TREE -type f -print0 | xargs -0 gzip -n -k -6` packs every file beside itself on one core.
Reported: the median wall time, the peak resident size (the largest single process, from
the kernel's ru_maxrss of the finished processes), the bytes written, and the baseline's time
over each tool's. The tool's output is checked with `zidodiruv-publish verify` after the last
round, and its manifest (every content's and every stored file's hash) must be the same in
every round: the same inputs give the same bytes.

--quick: 2,000 files and 48 MiB, one round (the form CI runs).
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

KIB = 1024
MIB = 1024 * KIB

WORDS = [b"vorn", b"zeda", b"patch", b"map", b"data", b"level", b"quest", b"guild", b"sword", b"crystal",
         b"npc", b"spawn", b"x=", b"y=", b"hp", b"mp", b"item", b"drop", b"rate", b"skill"]


def text_block(rng, size):
    """Text-like bytes that compress about as well as game data files (3-4:1 with gzip -6)."""
    out = bytearray()
    while len(out) < size:
        out += rng.choice(WORDS) + str(rng.randrange(100000)).encode() + b" "
        if rng.randrange(12) == 0:
            out += b"\r\n"
    return bytes(out[:size])


def make_many(root, files, rng):
    block = text_block(rng, 64 * KIB)
    for i in range(files):
        folder = os.path.join(root, "d%04d" % (i // 100))
        if i % 100 == 0:
            os.makedirs(folder, exist_ok=True)
        size = rng.randrange(1 * KIB, 16 * KIB)
        if i % 10 == 9:
            name, data = "f%06d.png" % i, os.urandom(size)
        else:
            start = rng.randrange(len(block) - size)
            name, data = "f%06d.dat" % i, block[start:start + size]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def make_large(root, total, count, rng):
    os.makedirs(root, exist_ok=True)
    block = text_block(rng, 4 * MIB)
    file_size = max(-(-total // count), MIB) if count < 8 else min(256 * MIB, max(total // count, MIB))
    index = 0
    left = total
    while left > 0:
        size = min(file_size, left)
        random_bytes = count >= 8 and index % 8 == 7
        name = "Data%02d.%s" % (index, "bin" if random_bytes else "pak")
        with open(os.path.join(root, name), "wb") as f:
            written = 0
            while written < size:
                n = min(len(block), size - written)
                # A different head for every block of every file, so no two are the same bytes.
                f.write(os.urandom(n) if random_bytes else (b"%04d%012d" % (index, written) + block[16:n]))
                written += n
        left -= size
        index += 1


def ensure_tree(path, kind, amount, count):
    stamp = "%s.made-%d-%d" % (path, amount, count)  # beside the tree, not in it
    if os.path.exists(stamp):
        return
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    started = time.monotonic()
    rng = random.Random(19)
    if kind == "many":
        make_many(path, amount, rng)
    else:
        make_large(path, amount, count, rng)
    # Old enough that no listed time lies in the future, whatever the clock does.
    old = time.time() - 86400
    for folder, _, names in os.walk(path):
        for name in names:
            os.utime(os.path.join(folder, name), (old, old))
    open(stamp, "w").close()
    print("made the %s tree in %.1f s" % (kind, time.monotonic() - started), flush=True)


def measured(command, env=None):
    """Runs a command in a child of its own; returns (seconds, peak KiB of its largest process)."""
    probe = ("import resource, subprocess, sys, time\n"
             "t = time.monotonic()\n"
             "rc = subprocess.run(sys.argv[1:]).returncode\n"
             "print(time.monotonic() - t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, rc)\n")
    out = subprocess.run([sys.executable, "-c", probe] + command, env=env, check=True,
                         stdout=subprocess.PIPE, text=True).stdout.split()
    seconds, peak, rc = float(out[-3]), int(out[-2]), int(out[-1])
    if rc != 0:
        raise SystemExit("failed (%d): %s" % (rc, " ".join(command)))
    return seconds, peak


def tree_bytes(path, suffix=None):
    total = 0
    count = 0
    for folder, _, names in os.walk(path):
        for name in names:
            if suffix and not name.endswith(suffix):
                continue
            total += os.path.getsize(os.path.join(folder, name))
            count += 1
    return total, count


def remove_gz(path):
    for folder, _, names in os.walk(path):
        for name in names:
            if name.endswith(".gz"):
                os.unlink(os.path.join(folder, name))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def bench(tools, tree, out, rounds):
    """Times each tool (name, path) and the baseline; returns {name: (runs, bytes out)}.

    Every run of a tool writes a folder of its own, all removed after the last round: on a
    file system that keeps recently deleted inodes aside (ext4 without a journal, as on the
    development machine), a run that creates thousands of files just after thousands were
    deleted pays for a scan past them at every file. The baseline's files are removed at
    the start of the next round, before the tools run."""
    env = dict(os.environ, TZ=os.environ.get("TZ", "UTC0"))
    runs = {name: [] for name, _, _ in tools}
    runs["gzip"] = []
    manifests = {}
    served = {}
    outs = []
    remove_gz(tree)
    for round_index in range(rounds):
        if round_index > 0:
            remove_gz(tree)
        for tool_index, (name, tool, extra) in enumerate(tools):
            target = "%s-%d-%d" % (out, round_index, tool_index)
            shutil.rmtree(target, ignore_errors=True)
            outs.append(target)
            runs[name].append(measured([tool, "build", tree, target] + extra, env))
            # A signed list's signature differs from build to build (ECDSA draws a new nonce each
            # time), and with it the manifest's hash of the list.
            lines = read_bytes(os.path.join(target, "patch.lst.manifest.json")).split(b"\n")
            manifest = b"\n".join(line for line in lines if not line.startswith(b'"list_xxh3"'))
            if manifests.setdefault(name, manifest) != manifest:
                raise SystemExit("%s: another output for the same inputs" % name)
            subprocess.run([tool, "verify", target], check=True, stdout=subprocess.DEVNULL)
            served[name], _ = tree_bytes(target)
        runs["gzip"].append(measured(["sh", "-c", 'find "$1" -type f -print0 | xargs -0 gzip -n -k -6',
                                      "sh", tree], env))
        served["gzip"], gz_count = tree_bytes(tree, suffix=".gz")
    remove_gz(tree)
    for target in outs:
        shutil.rmtree(target)
    return {name: (runs[name], served[name]) for name in runs}, gz_count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--tool", default=os.path.join(here, "..", "build", "release", "zidodiruv-publish"))
    parser.add_argument("--before", help="another build of the tool, timed in a column of its own")
    parser.add_argument("--signed", action="store_true", help="also a signed build, in a column of its own")
    parser.add_argument("--work", default=os.path.join(here, "..", "build", "publish-bench"))
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--bytes", type=int, default=2 * 1024 * MIB)
    parser.add_argument("--large-files", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.files, args.bytes, args.rounds = 2000, 48 * MIB, 1
    tools = [("zidodiruv-publish build", os.path.abspath(args.tool), [])]
    if args.before:
        tools.insert(0, ("before", os.path.abspath(args.before), []))
    for _, tool, _ in tools:
        if not os.access(tool, os.X_OK):
            raise SystemExit("no tool at %s (build the release tree first)" % tool)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    if args.signed:
        key = os.path.join(work, "bench.key")
        if not os.path.exists(key):
            subprocess.run([os.path.abspath(args.tool), "keygen", key], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        tools.append(("build --sign", os.path.abspath(args.tool), ["--sign", key]))
    print("%d cores; %d round(s), interleaved; medians" % (os.cpu_count(), args.rounds), flush=True)

    rows = []
    for kind, amount in (("many", args.files), ("large", args.bytes)):
        tree = os.path.join(work, "%s-tree" % kind)
        ensure_tree(tree, kind, amount, args.large_files)
        size, count = tree_bytes(tree)
        results, gz_count = bench(tools, tree, os.path.join(work, "%s-out" % kind), args.rounds)
        if gz_count != count:
            raise SystemExit("gzip packed %d of %d files" % (gz_count, count))
        rows.append((kind, count, size, results))

    columns = [name for name, _, _ in tools] + ["gzip"]
    titles = {"gzip": "find | xargs gzip -n -k -6"}
    print()
    print("%-6s %8s %9s | %s" % ("tree", "files", "MiB", " | ".join("%-41s" % titles.get(c, c) for c in columns)))
    for kind, count, size, results in rows:
        baseline = statistics.median(r[0] for r in results["gzip"][0])

        def cell(name):
            runs, written = results[name]
            seconds = statistics.median(r[0] for r in runs)
            return "%7.2f s %6.2fx %7.1f MiB peak %7.1f MiB out" % (
                seconds, baseline / seconds, max(r[1] for r in runs) / 1024.0, written / MIB)
        print("%-6s %8d %9.1f | %s" % (kind, count, size / MIB, " | ".join(cell(c) for c in columns)))
    print("(Nx: the baseline's time over the column's; the tool's output: every file packed where that pays or "
          "copied, the list and the manifest)")


if __name__ == "__main__":
    main()
