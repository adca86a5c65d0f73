#!/usr/bin/env python3
"""Times the same work on a native directory, a zkue mount of it and a
bindfs mount of it, in one run on one machine, in interleaved rounds (the
order of the three rotated each round), and prints the median of each figure
with the ratios zkue/bindfs and zkue/native (above 1: zkue is slower):

  - sequential write of a 1 GiB file with 1 MiB and with 4 KiB blocks
    (ending with fsync), and reading it back with each block size;
  - random 4 KiB reads of that file (fio when installed, else a python
    loop of os.pread at random offsets);
  - creating 10,000 small files; a stat walk over them; a warm `find` and a
    warm `git status` of that tree; a warm stat loop; untarring a tree;
  - the daemon's CPU time per GiB moved by the sequential writes and reads
    (user + system from /proc/PID/stat);
  - the daemon's peak resident memory with 200 files open for writing and
    200 for reading.

Reads through a mount drop the mount's own page cache for the file first
(posix_fadvise), so that they reach the daemon; the source's page cache stays
warm for all three alike. Run as root (FUSE mounts). bindfs and fio (Debian
packages) come from scripts/install-deps.sh, which this script runs when
bindfs is missing. Usage:

    python3 bench/fuse_bench.py [--zkue PATH] [--dir WORKDIR] [--size-mib N]
                                [--files N] [--rounds N]

ZKUE in the environment also names the program; the default is the build
tree's build/src/opt/zkue/zkue.
"""
import argparse
import mmap
import os
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_mount import Mount, add_zkue_args, drop_page_cache, spawn, zkue_env, zkue_program  # noqa: E402
CLK_TCK = os.sysconf("SC_CLK_TCK")


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, timeout=kw.pop("timeout", 1800), **kw)


def quiet(cmd, **kw):
    return sh(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def ensure_tools():
    if shutil.which("bindfs"):
        return
    sh(["bash", os.path.join(HERE, "..", "scripts", "install-deps.sh")], timeout=900)


def proc_cpu(pid):
    """User plus system seconds of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def proc_status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


class Target:
    """A directory to run the work in, possibly behind a FUSE mount."""

    def __init__(self, name, backing, mnt=None, start=None):
        self.name, self.backing, self.mnt = name, backing, mnt
        self.mount = Mount(mnt, lambda: start(backing, mnt), timeout=15) if mnt else None

    @property
    def path(self):
        return self.mnt or self.backing

    @property
    def pid(self):
        return self.mount.proc.pid if self.mount and self.mount.proc else None

    def __enter__(self):
        os.makedirs(self.backing, exist_ok=True)
        if self.mount:
            self.mount.__enter__()
        return self

    def __exit__(self, *exc):
        if self.mount:
            self.mount.__exit__()
        return False

    def drop_cache(self, path):
        """Drops the mount's own page cache of a file (not the source's)."""
        if self.mnt:
            drop_page_cache(path)


def start_zkue(zkue):
    def start(src, mnt):
        return spawn([zkue, "-q", "-u", src, "-m", mnt, "-r", "options=rw", "-l", "err"], zkue_env())
    return start


def start_bindfs(*opts):
    def start(src, mnt):
        # Foreground, so that this script owns the process like zkue's; the
        # same large writes as zkue's mount, so that the figures compare the
        # code, not the option.
        return spawn(["bindfs", "-f", "-o", "big_writes,max_write=131072"] + list(opts) + [src, mnt])
    return start


def timed(fn):
    t = time.monotonic()
    fn()
    return time.monotonic() - t


# ---- the work ---------------------------------------------------------------------------

def work_write(path, size_mib, block):
    quiet(["dd", "if=/dev/zero", "of=" + path, "bs=%d" % block, "count=%d" % ((size_mib << 20) // block),
           "conv=fsync"])


def work_read(t, path, size_mib, block):
    t.drop_cache(path)
    out = subprocess.run(["dd", "if=" + path, "of=/dev/null", "bs=%d" % block], capture_output=True,
                         text=True, check=True, timeout=1800).stderr
    if not out.splitlines()[-1].startswith(str(size_mib << 20)):
        raise RuntimeError("read back: %s" % out)


def work_randread(t, path, size_mib, count):
    """count random 4 KiB reads of the file."""
    t.drop_cache(path)
    if shutil.which("fio"):
        quiet(["fio", "--name=rr", "--filename=" + path, "--rw=randread", "--bs=4k", "--size=%dM" % size_mib,
               "--io_size=%dk" % (4 * count), "--ioengine=psync", "--invalidate=0", "--randrepeat=0",
               "--norandommap"])
        return
    rnd = random.Random()
    blocks = (size_mib << 20) // 4096
    fd = os.open(path, os.O_RDONLY)
    try:
        for _ in range(count):
            os.pread(fd, 4096, rnd.randrange(blocks) * 4096)
    finally:
        os.close(fd)


def work_create(path, count):
    base = os.path.join(path, "small")
    os.mkdir(base)
    data = b"x" * 100
    for d in range(count // 500):
        sub = os.path.join(base, "d%03d" % d)
        os.mkdir(sub)
        for i in range(500):
            with open(os.path.join(sub, "f%04d" % i), "wb") as f:
                f.write(data)


def work_stat_walk(path, count):
    n = 0
    for root, dirs, files in os.walk(os.path.join(path, "small")):
        for name in files:
            os.lstat(os.path.join(root, name))
            n += 1
    if n != count:
        raise RuntimeError("walked %d files" % n)


def work_stat_loop(path, count, rounds=5):
    """rounds x 2,000 stats of the same names (warm)."""
    names = [os.path.join(path, "small", "d%03d" % (i % (count // 500)), "f%04d" % (i % 500)) for i in range(2000)]
    for _ in range(rounds):
        for n in names:
            os.stat(n)


def make_tarball(where, files=3000):
    """A tree like a source package: nested directories, mixed sizes."""
    rnd = random.Random(7)
    tree = os.path.join(where, "tree")
    for i in range(files):
        d = os.path.join(tree, "pkg%02d" % (i % 30), "mod%02d" % (i % 7))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "file%04d.c" % i), "wb") as f:
            f.write(rnd.randbytes(rnd.choice((200, 1500, 6000, 30000))))
    tarball = os.path.join(where, "tree.tar")
    with tarfile.open(tarball, "w") as t:
        t.add(tree, arcname="tree")
    shutil.rmtree(tree)
    return tarball


def make_repo(path, files):
    """A git repository of `files` small files under path/repo (set up once)."""
    repo = os.path.join(path, "repo")
    os.mkdir(repo)
    for d in range(files // 500):
        sub = os.path.join(repo, "d%03d" % d)
        os.mkdir(sub)
        for i in range(500):
            with open(os.path.join(sub, "f%04d" % i), "w") as f:
                f.write("line %d %d\n" % (d, i))
    env = dict(os.environ, GIT_AUTHOR_NAME="b", GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b",
               GIT_COMMITTER_EMAIL="b@b")
    for cmd in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "tree"]):
        quiet(["git", "-c", "safe.directory=*", "-C", repo] + cmd, env=env)
    return repo


def work_find(path):
    quiet(["find", os.path.join(path, "repo")])


def work_git_status(path):
    quiet(["git", "-c", "safe.directory=*", "-C", os.path.join(path, "repo"), "status", "--porcelain"])


def work_untar(path, tarball):
    sh(["tar", "-xf", tarball, "-C", path])


def peak_rss_handles(t, n=200):
    """Peak resident memory of the daemon with n files open for writing and n
    open for reading (each read on a while, each written a little)."""
    if not t.pid:
        return None
    src = os.path.join(t.path, "rss")
    os.mkdir(src)
    big = os.path.join(src, "big")
    with open(big, "wb") as f:
        f.write(os.urandom(4 << 20))
    fds = []
    buf = mmap.mmap(-1, 128 << 10)
    try:
        for i in range(n):
            fd = os.open(big, os.O_RDONLY | os.O_DIRECT)
            fds.append(fd)
            for off in range(0, 3 << 20, 128 << 10):
                os.preadv(fd, [buf], off)
        for i in range(n):
            fd = os.open(os.path.join(src, "w%03d" % i), os.O_WRONLY | os.O_CREAT, 0o644)
            fds.append(fd)
            for k in range(8):
                os.write(fd, b"w" * 4096)
        return proc_status(t.pid, "VmHWM")
    finally:
        for fd in fds:
            os.close(fd)
        shutil.rmtree(src)


# ---- rounds --------------------------------------------------------------------------------

def run_round(targets, args, tarball, results, cpu):
    """One round: every work item on every target, in the targets' order."""
    big = "big"
    mib = args.size_mib
    label = "%d GiB" % (mib >> 10) if mib % 1024 == 0 else "%d MiB" % mib

    def each(name, fn, moves=0):
        for t in targets:
            before = proc_cpu(t.pid) if t.pid else None
            results.setdefault(name, {}).setdefault(t.name, []).append(timed(lambda: fn(t)))
            if moves and t.pid:
                cpu.setdefault(t.name, []).append((proc_cpu(t.pid) - before) / (moves / 1024))

    path = lambda t, n: os.path.join(t.path, n)
    each("write %s, 1 MiB blocks" % label, lambda t: work_write(path(t, big), mib, 1 << 20), moves=mib)
    each("read %s, 1 MiB blocks" % label, lambda t: work_read(t, path(t, big), mib, 1 << 20), moves=mib)
    each("read %s, 4 KiB blocks" % label, lambda t: work_read(t, path(t, big), mib, 4096))
    each("random 4 KiB reads x%d" % args.random, lambda t: work_randread(t, path(t, big), mib, args.random))
    for t in targets:
        os.unlink(path(t, big))
    each("write %s, 4 KiB blocks" % label, lambda t: work_write(path(t, big), mib, 4096))
    for t in targets:
        os.unlink(path(t, big))
    each("create %d files" % args.files, lambda t: work_create(t.path, args.files))
    each("stat walk", lambda t: work_stat_walk(t.path, args.files))
    each("stat loop (10,000)", lambda t: work_stat_loop(t.path, args.files))
    for t in targets:
        work_find(t.path), work_git_status(t.path)  # warm
    each("find (warm)", lambda t: work_find(t.path))
    each("git status (warm)", lambda t: work_git_status(t.path))
    each("untar tree", lambda t: work_untar(t.path, tarball))
    for t in targets:
        shutil.rmtree(path(t, "small"))
        shutil.rmtree(path(t, "tree"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    add_zkue_args(ap)
    ap.add_argument("--files", type=int, default=10000)
    ap.add_argument("--random", type=int, default=20000, help="random reads per run")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--bindfs-attr0", action="store_true",
                    help="also time bindfs with attr_timeout=0 (zkue's attribute time-out) as column bindfs0")
    args = ap.parse_args()
    zkue = zkue_program(args.zkue)
    if args.files % 500:
        sys.exit("--files must be a multiple of 500")
    ensure_tools()

    work = tempfile.mkdtemp(prefix="zkue_bench_", dir=args.dir or "/var/tmp")
    targets = [
        Target("native", os.path.join(work, "native")),
        Target("zkue", os.path.join(work, "zkue_src"), os.path.join(work, "zkue_mnt"), start_zkue(zkue)),
        Target("bindfs", os.path.join(work, "bindfs_src"), os.path.join(work, "bindfs_mnt"), start_bindfs()),
    ]
    if args.bindfs_attr0:
        targets.append(Target("bindfs0", os.path.join(work, "bindfs0_src"), os.path.join(work, "bindfs0_mnt"),
                              start_bindfs("-o", "attr_timeout=0")))
    results, cpu, rss, base = {}, {}, {}, {}
    try:
        tarball = make_tarball(work)
        for t in targets:
            t.__enter__()
            if t.pid:
                base[t.name] = proc_status(t.pid, "VmRSS")
        for t in targets:
            print("setting up %s ..." % t.name, file=sys.stderr, flush=True)
            make_repo(t.path, args.files)
        for r in range(args.rounds):
            k = r % len(targets)
            order = targets[k:] + targets[:k]
            print("round %d: %s" % (r + 1, ", ".join(t.name for t in order)), file=sys.stderr, flush=True)
            run_round(order, args, tarball, results, cpu)
        for t in targets:
            rss[t.name] = peak_rss_handles(t)
    finally:
        for t in targets:
            t.__exit__(None, None, None)
        shutil.rmtree(work, ignore_errors=True)

    names = [t.name for t in targets]
    print("medians of %d rounds (seconds; ratios above 1: zkue slower; min/max of each target after them)"
          % args.rounds)
    print("%-32s" % "work" + "".join("%9s" % n for n in names) + "%13s%13s" % ("zkue/bindfs", "zkue/native"))

    def row(label, vals, ratio_to=("bindfs", "native"), fmt="%9.3f", spread=None):
        line = "%-32s" % label + "".join(fmt % vals[n] if n in vals else "%9s" % "-" for n in names)
        for other in ratio_to:
            line += "%13.2f" % (vals["zkue"] / vals[other]) if vals.get(other) else "%13s" % "-"
        if spread:
            line += "   min/max " + " ".join("%s %.3f/%.3f" % (n, min(spread[n]), max(spread[n]))
                                            for n in names if spread.get(n))
        print(line)

    for work_name, per in results.items():
        row(work_name, {n: statistics.median(per[n]) for n in names}, spread=per)
    row("daemon CPU s per GiB", {n: statistics.median(cpu[n]) for n in names if n in cpu}, fmt="%9.2f")
    row("RSS MiB after mount", {n: base[n] / 2**20 for n in base}, fmt="%9.1f")
    row("peak RSS MiB, 200+200 handles", {n: rss[n] / 2**20 for n in rss if rss[n]}, fmt="%9.1f")

if __name__ == "__main__":
    main()
