#!/usr/bin/env python3
"""Times the same work on a native directory, a zkue mount of it and a
bindfs mount of it, in one run on one machine:

  - sequential write of a 1 GiB file (ending with fsync), then reading it back;
  - creating 10,000 small files, then a stat walk over them;
  - untarring a tree of a few thousand files.

Prints each figure in seconds and the ratios zkue/native and zkue/bindfs.
Run as root (FUSE mounts). bindfs (Debian package "bindfs") comes from
scripts/install-deps.sh, which this script runs when bindfs is missing. Usage:

    python3 bench/fuse_bench.py [--zkue PATH] [--dir WORKDIR] [--size-mib N]

ZKUE in the environment also names the program; the default is the build
tree's build/src/opt/zkue/zkue.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, timeout=kw.pop("timeout", 600), **kw)


def ensure_bindfs():
    if shutil.which("bindfs"):
        return
    sh(["bash", os.path.join(HERE, "..", "scripts", "install-deps.sh")], timeout=900)


def is_mounted(mnt):
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == mnt for line in f)


def wait_mounted(mnt, proc=None, timeout=15):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if is_mounted(mnt):
            try:
                os.stat(mnt)
                return
            except OSError:
                pass
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("mount program ended with %s" % proc.returncode)
        time.sleep(0.05)
    raise RuntimeError("%s did not come up" % mnt)


def unmount(mnt):
    for cmd in (["umount", mnt], ["umount", "-l", mnt], ["fusermount", "-u", "-z", mnt]):
        if not is_mounted(mnt):
            return
        subprocess.run(cmd, capture_output=True, timeout=60)


class Target:
    """A directory to run the work in, possibly behind a FUSE mount."""

    def __init__(self, name, backing, mnt=None, start=None):
        self.name, self.backing, self.mnt, self.start = name, backing, mnt, start
        self.proc = None

    @property
    def path(self):
        return self.mnt or self.backing

    def __enter__(self):
        os.makedirs(self.backing, exist_ok=True)
        if self.mnt:
            os.makedirs(self.mnt, exist_ok=True)
            self.proc = self.start(self.backing, self.mnt)
            wait_mounted(self.mnt, self.proc)
        return self

    def __exit__(self, *exc):
        if self.mnt:
            unmount(self.mnt)
            if self.proc is not None:
                try:
                    self.proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait(timeout=30)
        return False


def start_zkue(zkue):
    def start(src, mnt):
        return subprocess.Popen([zkue, "-q", "-u", src, "-m", mnt, "-r", "options=rw", "-l", "err"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env={k: v for k, v in os.environ.items() if not k.startswith("ZK_")})
    return start


def start_bindfs(src, mnt):
    # Foreground, so that this script owns the process like zkue's.
    return subprocess.Popen(["bindfs", "-f", src, mnt], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def timed(fn):
    t = time.monotonic()
    fn()
    return time.monotonic() - t


def work_seq_write(path, size_mib):
    block = os.urandom(1 << 20)
    with open(os.path.join(path, "big"), "wb", buffering=0) as f:
        for _ in range(size_mib):
            f.write(block)
        os.fsync(f.fileno())


def work_seq_read(path, size_mib):
    n = 0
    with open(os.path.join(path, "big"), "rb", buffering=0) as f:
        while True:
            b = f.read(1 << 20)
            if not b:
                break
            n += len(b)
    if n != size_mib << 20:
        raise RuntimeError("read %d bytes back" % n)


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


def work_untar(path, tarball):
    sh(["tar", "-xf", tarball, "-C", path])


def run_target(t, args, tarball):
    res = {}
    res["write 1 GiB" if args.size_mib == 1024 else "write %d MiB" % args.size_mib] = \
        timed(lambda: work_seq_write(t.path, args.size_mib))
    res["read back" ] = timed(lambda: work_seq_read(t.path, args.size_mib))
    os.unlink(os.path.join(t.path, "big"))
    res["create %d files" % args.files] = timed(lambda: work_create(t.path, args.files))
    res["stat walk"] = timed(lambda: work_stat_walk(t.path, args.files))
    res["untar tree"] = timed(lambda: work_untar(t.path, tarball))
    return res


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zkue", default=os.environ.get("ZKUE") or
                    os.path.join(HERE, "..", "build", "src", "opt", "zkue", "zkue"))
    ap.add_argument("--dir", default=None, help="work directory (default: a new one under /var/tmp)")
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--files", type=int, default=10000)
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root: the benchmark mounts FUSE file systems")
    zkue = os.path.abspath(args.zkue)
    if not os.access(zkue, os.X_OK):
        sys.exit("zkue not found at %s (build first, or pass --zkue)" % zkue)
    if args.files % 500:
        sys.exit("--files must be a multiple of 500")
    ensure_bindfs()

    work = tempfile.mkdtemp(prefix="zkue_bench_", dir=args.dir or "/var/tmp")
    targets = [
        Target("native", os.path.join(work, "native")),
        Target("zkue", os.path.join(work, "zkue_src"), os.path.join(work, "zkue_mnt"), start_zkue(zkue)),
        Target("bindfs", os.path.join(work, "bindfs_src"), os.path.join(work, "bindfs_mnt"), start_bindfs),
    ]
    results = {}
    try:
        tarball = make_tarball(work)
        for t in targets:
            with t:
                print("running on %s (%s) ..." % (t.name, t.path), file=sys.stderr, flush=True)
                results[t.name] = run_target(t, args, tarball)
    finally:
        for t in targets:
            if t.mnt:
                unmount(t.mnt)
        shutil.rmtree(work, ignore_errors=True)

    names = list(results["native"].keys())
    print("%-20s %10s %10s %10s %14s %14s" % ("work (seconds)", "native", "zkue", "bindfs",
                                               "zkue/native", "zkue/bindfs"))
    for n in names:
        nat, zk, bf = results["native"][n], results["zkue"][n], results["bindfs"][n]
        print("%-20s %10.3f %10.3f %10.3f %14.2f %14.2f" % (n, nat, zk, bf, zk / nat if nat else 0.0,
                                                             zk / bf if bf else 0.0))


if __name__ == "__main__":
    main()
