#!/usr/bin/env python3
"""Times reading a zip member through a zkue mount and a fuse-zip mount of
the same archive, in one run on one machine:

  - sequential read of a stored 1 GiB member (dd, 1 MiB blocks);
  - the backward-seek pair: 64 MiB at offset 900 MiB, then 64 MiB at offset
    100 MiB, each a fresh dd with skip (so every open and seek counts).

Each figure is a whole command (the dd process, its open included) on a
freshly mounted archive, so nothing is served from the page cache of an
earlier command; the mount itself is timed too (start until the mount
point answers). Every figure is the median of --runs runs. Prints seconds
and the ratio zkue/fuse-zip (below 1: zkue is faster).

Run as root (FUSE mounts). fuse-zip (Debian package "fuse-zip") comes from
scripts/install-deps.sh, which this script runs when fuse-zip is missing.
Usage:

    python3 bench/archive_bench.py [--zkue PATH] [--dir WORKDIR] [--size-mib N] [--runs N]

ZKUE in the environment also names the program; the default is the build
tree's build/src/opt/zkue/zkue.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_mount import Mount, add_zkue_args, spawn, unmount, zkue_env, zkue_program  # noqa: E402
MEMBER = "member.bin"


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, timeout=kw.pop("timeout", 900), **kw)


def ensure_fuse_zip():
    if shutil.which("fuse-zip"):
        return
    sh(["bash", os.path.join(HERE, "..", "scripts", "install-deps.sh")])


def mount(cmd, mnt):
    """One mount of the archive by one tool, as a block; `seconds` is how
    long the mount took until the member could be found. The program gets
    no ZK_ variables; the mount point is watched closely, as its time is a
    figure."""
    return Mount(mnt, lambda: spawn(cmd, zkue_env()), probe=lambda m: os.stat(os.path.join(m, MEMBER)),
                 timeout=60, step=0.005)


def timed_dd(path, skip=None, count=None):
    cmd = ["dd", "if=" + path, "of=/dev/null", "bs=1M", "status=none"]
    if skip is not None:
        cmd += ["skip=%d" % skip, "count=%d" % count]
    t = time.monotonic()
    sh(cmd)
    return time.monotonic() - t


def make_archive(work, size_mib):
    """A zip holding one stored member of size_mib MiB (the data itself does
    not matter for a stored member)."""
    src = os.path.join(work, "src")
    os.makedirs(src)
    block = os.urandom(1 << 20)
    with open(os.path.join(src, MEMBER), "wb") as f:
        for _ in range(size_mib):
            f.write(block)
    archive = os.path.join(work, "big.zip")
    sh(["zip", "-q", "-0", archive, MEMBER], cwd=src)
    shutil.rmtree(src)
    return archive


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    add_zkue_args(ap)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    zkue = zkue_program(args.zkue)
    if args.size_mib < 1000:
        sys.exit("--size-mib must be at least 1000 (the seek pair reads at 900 MiB)")
    ensure_fuse_zip()

    work = tempfile.mkdtemp(prefix="zkue_arcbench_", dir=args.dir or "/var/tmp")
    mnt = os.path.join(work, "mnt")
    try:
        archive = make_archive(work, args.size_mib)
        tools = {
            "zkue": [zkue, "-q", "-u", archive, "-m", mnt, "-l", "err"],
            "fuse-zip": ["fuse-zip", "-f", "-r", archive, mnt],
        }
        member = os.path.join(mnt, MEMBER)
        read_all = "read %d MiB" % args.size_mib
        works = ["mount", read_all, "64 MiB at 900 MiB", "then 64 MiB at 100", "seek pair total"]
        results = {t: {w: [] for w in works} for t in tools}
        for run_no in range(args.runs):
            # The order rotates from run to run, so neither always goes first.
            items = list(tools.items())
            items = items[run_no % len(items):] + items[:run_no % len(items)]
            for tool, cmd in items:
                print("running %s ..." % tool, file=sys.stderr, flush=True)
                r = results[tool]
                with mount(cmd, mnt) as m:
                    r["mount"].append(m.seconds)
                    r[read_all].append(timed_dd(member))
                # A fresh mount for the pair, so nothing of the full read is cached.
                with mount(cmd, mnt):
                    a = timed_dd(member, 900, 64)
                    b = timed_dd(member, 100, 64)
                r[works[2]].append(a)
                r[works[3]].append(b)
                r[works[4]].append(a + b)
    finally:
        unmount(mnt)
        shutil.rmtree(work, ignore_errors=True)

    med = {t: {w: statistics.median(results[t][w]) for w in works} for t in tools}
    print("archive: one stored member of %d MiB; median of %d runs; whole commands" % (args.size_mib, args.runs))
    print("%-22s %10s %10s %16s" % ("work (seconds)", "zkue", "fuse-zip", "zkue/fuse-zip"))
    for w in works:
        zk, fz = med["zkue"][w], med["fuse-zip"][w]
        print("%-22s %10.3f %10.3f %16.2f" % (w, zk, fz, zk / fz if fz else 0.0))
    print("%-22s %10.0f %10.0f" % ("read MiB/s", args.size_mib / med["zkue"][read_all],
                                   args.size_mib / med["fuse-zip"][read_all]))

if __name__ == "__main__":
    main()
