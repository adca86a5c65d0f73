"""Mount helpers the benchmark scripts share: whether a path is a mount
point, waiting for a mount to answer, unmounting it whatever state its
program is in, one mount as a block, dropping a file's cached pages, and the
options and checks every benchmark of zkue starts with."""
import os
import subprocess
import sys
import time


def is_mounted(mnt):
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == mnt for line in f)


def wait_mounted(mnt, proc=None, timeout=30, probe=os.stat, step=0.05):
    """Waits until mnt is mounted and probe(mnt) succeeds, looking every
    step seconds; raises when the mount program ends first or the time runs
    out."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if is_mounted(mnt):
            try:
                probe(mnt)
                return
            except OSError:
                pass
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("mount program for %s ended with %s" % (mnt, proc.returncode))
        time.sleep(step)
    raise RuntimeError("%s did not come up" % mnt)


def unmount(mnt):
    for cmd in (["umount", mnt], ["umount", "-l", mnt], ["fusermount", "-u", "-z", mnt]):
        if not is_mounted(mnt):
            return
        subprocess.run(cmd, capture_output=True, timeout=60)


def release(mnt, proc):
    """Unmounts mnt and waits for the program that served it, killing it
    when it does not end on its own."""
    unmount(mnt)
    if proc is not None and proc.poll() is None:
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=30)


def drop_page_cache(path):
    """Drops the kernel's cached pages of one file (a mount's own cache when
    path lies below the mount point)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def zkue_env():
    """This environment without zkue's own ZK_ variables, so that a mount
    takes its settings from its command line only."""
    return {k: v for k, v in os.environ.items() if not k.startswith("ZK_")}


def spawn(cmd, env=None):
    """cmd started with its output dropped; its Popen."""
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)


class Mount:
    """mnt served by the program start() starts (returning its Popen) for
    the length of a block: entering makes mnt, starts the program and waits
    as wait_mounted() does (`seconds` is how long until the mount answered);
    leaving, or a mount that never answers, unmounts and ends the program."""

    def __init__(self, mnt, start, probe=os.stat, timeout=30, step=0.05):
        self.mnt, self.start, self.probe, self.timeout, self.step = mnt, start, probe, timeout, step
        self.proc = None
        self.seconds = 0.0

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        t = time.monotonic()
        self.proc = self.start()
        try:
            wait_mounted(self.mnt, self.proc, self.timeout, self.probe, self.step)
        except BaseException:
            self.__exit__()
            raise
        self.seconds = time.monotonic() - t
        return self

    def __exit__(self, *exc):
        release(self.mnt, self.proc)
        return False


def add_zkue_args(ap, size_mib=1024):
    """The options every zkue benchmark takes: --zkue (default ZKUE from the
    environment, else the build tree's program), --dir and --size-mib."""
    ap.add_argument("--zkue", default=os.environ.get("ZKUE") or
                    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "src", "opt", "zkue",
                                 "zkue"))
    ap.add_argument("--dir", default=None, help="work directory (default: a new one under /var/tmp)")
    ap.add_argument("--size-mib", type=int, default=size_mib)


def zkue_program(path):
    """The absolute path of the program to time; exits with a message when
    not run as root or when path is not an executable."""
    if os.geteuid() != 0:
        sys.exit("run as root: the benchmark mounts FUSE file systems")
    zkue = os.path.abspath(path)
    if not os.access(zkue, os.X_OK):
        sys.exit("zkue not found at %s (build first, or pass --zkue)" % zkue)
    return zkue
