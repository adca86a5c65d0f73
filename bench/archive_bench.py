#!/usr/bin/env python3
"""Times zip archives served through a zkue mount and a fuse-zip mount of
the same archive, in one run on one machine.

Rows (--rows, comma-separated; all by default):
  ls5k     `ls -l` of a directory of 5,000 small deflated members;
  cat1k    `cat` of 1,000 small deflated members (one cat process, every
           fifth member of the same archive);
  mount    start of the program until a stored --size-mib member (default
           1024) can be found;
  read     sequential read of that member (dd, 1 MiB blocks);
  seek     the backward-seek pair: 64 MiB at offset 900 MiB, then 64 MiB at
           offset 100 MiB, each a fresh dd with skip (so every open and seek
           counts).

Each figure is a whole command (its process, its opens included) on a
freshly mounted archive, so nothing is served from the page cache or the
lookups of an earlier command; only mount times the mount itself. Every
row runs --runs times, the tools in rotated order from run to run; it prints
each tool's median seconds and zkue/fuse-zip (below 1: zkue is faster) as
min / median / max over the runs. --zkue-b times a second build of zkue
beside them in the same runs (before and after a change), with its own
ratio column.

Run as root (FUSE mounts). fuse-zip (Debian package "fuse-zip") comes from
scripts/install-deps.sh, which this script runs when fuse-zip is missing.
Usage:

    python3 bench/archive_bench.py [--zkue PATH] [--zkue-b PATH] [--dir WORKDIR] [--size-mib N]
                                   [--runs N] [--rows ls5k,cat1k,mount,read,seek]

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
SMALL = 5000
SMALL_DIR = "small"
ROWS = ["ls5k", "cat1k", "mount", "read", "seek"]


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, timeout=kw.pop("timeout", 900), **kw)


def ensure_fuse_zip():
    if shutil.which("fuse-zip"):
        return
    sh(["bash", os.path.join(HERE, "..", "scripts", "install-deps.sh")])


def mount(cmd, mnt, probe_name):
    """One mount of the archive by one tool, as a block; `seconds` is how
    long the mount took until probe_name could be found. The program gets
    no ZK_ variables; the mount point is watched closely, as its time is a
    figure."""
    return Mount(mnt, lambda: spawn(cmd, zkue_env()), probe=lambda m: os.stat(os.path.join(m, probe_name)),
                 timeout=60, step=0.005)


def timed(cmd):
    t = time.monotonic()
    sh(cmd, stdout=subprocess.DEVNULL)
    return time.monotonic() - t


def dd(path, skip=None, count=None):
    cmd = ["dd", "if=" + path, "of=/dev/null", "bs=1M", "status=none"]
    if skip is not None:
        cmd += ["skip=%d" % skip, "count=%d" % count]
    return timed(cmd)


def make_big(work, size_mib):
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


def small_names():
    return ["m%05d.txt" % i for i in range(SMALL)]


def make_small(work):
    """A zip of SMALL deflated members of 1 to 4 KiB of text, in one
    directory."""
    src = os.path.join(work, "src_small")
    d = os.path.join(src, SMALL_DIR)
    os.makedirs(d)
    for i, n in enumerate(small_names()):
        line = b"member %d: some text that deflates\n" % i
        with open(os.path.join(d, n), "wb") as f:
            f.write((line * (4096 // len(line) + 1))[:1024 + (i * 769) % 3072])
    archive = os.path.join(work, "small.zip")
    sh(["zip", "-q", "-r", archive, SMALL_DIR], cwd=src)
    shutil.rmtree(src)
    return archive


def run_ls(d):
    out = subprocess.run(["ls", "-l", d], capture_output=True, check=True, timeout=900).stdout
    if out.count(b"\n") < SMALL:
        raise RuntimeError("ls -l %s listed %d of %d" % (d, out.count(b"\n"), SMALL))


def run_row(row, cmd, mnt, size_mib):
    """Times one row on fresh mounts of one tool; {figure: seconds}."""
    if row in ("ls5k", "cat1k"):
        with mount(cmd, mnt, SMALL_DIR):
            d = os.path.join(mnt, SMALL_DIR)
            if row == "ls5k":
                t = time.monotonic()
                run_ls(d)
                return {row: time.monotonic() - t}
            return {row: timed(["cat"] + [os.path.join(d, n) for n in small_names()[::5]])}
    member = os.path.join(mnt, MEMBER)
    if row in ("mount", "read"):
        with mount(cmd, mnt, MEMBER) as m:
            return {"mount": m.seconds} if row == "mount" else {"read %d MiB" % size_mib: dd(member)}
    with mount(cmd, mnt, MEMBER):
        a = dd(member, 900, 64)
        b = dd(member, 100, 64)
    return {"64 MiB at 900 MiB": a, "then 64 MiB at 100": b, "seek pair total": a + b}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_zkue_args(ap)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rows", default=",".join(ROWS))
    ap.add_argument("--zkue-b", default=None, help="a second zkue build to time beside (zkue-b)")
    args = ap.parse_args()
    zkue = zkue_program(args.zkue)
    zkue_b = zkue_program(args.zkue_b) if args.zkue_b else None
    rows = args.rows.split(",")
    for r in rows:
        if r not in ROWS:
            sys.exit("unknown row %s (rows: %s)" % (r, ",".join(ROWS)))
    big_rows = {"mount", "read", "seek"} & set(rows)
    if "seek" in rows and args.size_mib < 1000:
        sys.exit("--size-mib must be at least 1000 for seek (the pair reads at 900 MiB)")
    if args.runs < 1:
        sys.exit("--runs must be at least 1")
    ensure_fuse_zip()

    work = tempfile.mkdtemp(prefix="zkue_arcbench_", dir=args.dir or "/var/tmp")
    mnt = os.path.join(work, "mnt")
    results = {}
    try:
        archives = {}
        if big_rows:
            archives["big"] = make_big(work, args.size_mib)
        if {"ls5k", "cat1k"} & set(rows):
            archives["small"] = make_small(work)
        tools = ["zkue"] + (["zkue-b"] if zkue_b else []) + ["fuse-zip"]

        def command(tool, archive):
            if tool != "fuse-zip":
                return [zkue if tool == "zkue" else zkue_b, "-q", "-u", archive, "-m", mnt, "-l", "err"]
            return ["fuse-zip", "-f", "-r", archive, mnt]

        for run_no in range(args.runs):
            # The order rotates from run to run, so none always goes first.
            k = run_no % len(tools)
            order = tools[k:] + tools[:k]
            for row in rows:
                archive = archives["small" if row in ("ls5k", "cat1k") else "big"]
                for tool in order:
                    for fig, sec in run_row(row, command(tool, archive), mnt, args.size_mib).items():
                        results.setdefault(fig, {t: [] for t in tools})[tool].append(sec)
            print("run %d done (%s)" % (run_no + 1, ",".join(order)), file=sys.stderr, flush=True)
    finally:
        unmount(mnt)
        shutil.rmtree(work, ignore_errors=True)

    print("archives: %d small deflated members in one directory; one stored member of %d MiB; %d runs, "
          "order rotated; whole commands on fresh mounts" % (SMALL, args.size_mib, args.runs))
    zk = tools[:-1]
    hdr = ["work"] + ["%s s (median)" % t for t in tools] + ["%s/fuse-zip min / median / max" % t for t in zk]
    print("| %s |" % " | ".join(hdr))
    print("|%s" % ("---|" * len(hdr)))
    for fig, per in results.items():
        cells = [fig] + ["%.3f" % statistics.median(per[t]) for t in tools]
        for t in zk:
            q = [a / b for a, b in zip(per[t], per["fuse-zip"]) if b > 0]
            cells.append("%.2f / %.2f / %.2f" % (min(q), statistics.median(q), max(q)) if q else "-")
        print("| %s |" % " | ".join(cells))


if __name__ == "__main__":
    main()
