"""Helpers shared by the program's script tests: running commands, the
program as a FUSE daemon that never outlives its test, mount table lookups,
a private copy of the program for command-line runs, and a class fixture
that mounts one source for all of its tests. Not a test itself."""
import os
import signal
import shutil
import subprocess
import tempfile
import time
import unittest

ZKUE = os.environ.get("ZKUE", "zkue")


def fuse_usable():
    """Whether FUSE mounts can be made: root, /dev/fuse and umount. With
    ZK_TEST_NO_FUSE=1 the tests act as on a machine without /dev/fuse (the
    mount tests skip), which shows how such a run is reported."""
    if os.environ.get("ZK_TEST_NO_FUSE") == "1":
        return False
    return os.geteuid() == 0 and os.path.exists("/dev/fuse") and shutil.which("umount") is not None


def mountinfo_entry(mnt):
    """(fstype, options) of the topmost mount on mnt, or None."""
    found = None
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            point = fields[4].replace("\\040", " ").replace("\\011", "\t").replace("\\134", "\\")
            if point != mnt:
                continue
            sep = fields.index("-")
            found = (fields[sep + 1], fields[5])
    return found


def is_fuse_mounted(mnt):
    e = mountinfo_entry(mnt)
    return e is not None and e[0].startswith("fuse")


def proc_mounts_line(mnt):
    line = None
    with open("/proc/mounts") as f:
        for ln in f:
            if ln.split()[1] == mnt:
                line = ln.rstrip("\n")
    return line


def wait_for(pred, timeout=30.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(step)
    return pred()


def force_unmount(mnt):
    """Takes every FUSE mount off mnt, whatever state it is in."""
    for _ in range(4):
        if not is_fuse_mounted(mnt):
            return
        if subprocess.run(["umount", mnt], capture_output=True, timeout=20).returncode != 0:
            subprocess.run(["umount", "-l", mnt], capture_output=True, timeout=20)
            if shutil.which("fusermount"):
                subprocess.run(["fusermount", "-u", "-z", mnt], capture_output=True, timeout=20)


def clean_env():
    """The environment without the program's own variables and without a
    machine proxy, which would carry the tests' loopback connections."""
    return {k: v for k, v in os.environ.items() if not k.startswith("ZK_") and k != "http_proxy"}


class Zkue:
    """One zkue process serving src on mnt. Use as a context manager: the
    mount and the process never outlive the block."""

    def __init__(self, src, mnt, options="rw", args=(), query=None, level=None, cwd=None):
        self.src, self.mnt = src, mnt
        self.cwd = cwd or os.path.dirname(mnt)
        cmd = [ZKUE, "-u", src, "-m", mnt]
        q = []
        if options is not None:
            q.append("options=" + options)
        if query:
            q.append(query)
        if q:
            cmd += ["-r", "&".join(q)]
        if level:
            cmd += ["-l", level]
        cmd += list(args)
        self.cmd = cmd
        self.log_path = os.path.join(self.cwd, "zkue-%d.log" % id(self))
        self.proc = None
        self.status = None

    def start(self, wait=True):
        self.log = open(self.log_path, "w+")
        self.proc = subprocess.Popen(self.cmd, stdout=self.log, stderr=subprocess.STDOUT, cwd=self.cwd,
                                     env=clean_env())
        if wait:
            # A live mount: an earlier, dead one may still be listed.
            ok = wait_for(lambda: self.serving() or self.proc.poll() is not None)
            if not ok or not self.serving():
                raise AssertionError("mount did not come up: %s\n%s" % (self.cmd, self.output()))
        return self

    def serving(self):
        if not is_fuse_mounted(self.mnt):
            return False
        try:
            os.stat(self.mnt)
            return True
        except OSError:
            return False

    def output(self):
        self.log.flush()
        with open(self.log_path) as f:
            return f.read()

    def wait_exit(self, timeout=60):
        try:
            self.status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.status = None
        return self.status

    def unmount(self):
        """`umount` from outside; the program's exit status."""
        subprocess.run(["umount", self.mnt], check=True, capture_output=True, timeout=20)
        return self.wait_exit()

    def close(self):
        try:
            force_unmount(self.mnt)
        finally:
            if self.proc and self.proc.poll() is None:
                self.proc.terminate()
                try:
                    self.proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait(timeout=5)
            force_unmount(self.mnt)
            if getattr(self, "log", None):
                self.log.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()
        return False


def run(cmd, timeout=60, **kw):
    """The command's result, its outputs as text."""
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kw)


def pids_serving(mnt):
    """Processes whose command line names mnt (a detached daemon)."""
    found = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % d, "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if args and os.path.basename(args[0]) == b"zkue" and mnt.encode() in args:
            found.append(int(d))
    return found


def release_mount(mnt):
    """Unmounts mnt and kills what still serves it (a detached daemon), so a
    failed test leaves no mount behind."""
    force_unmount(mnt)
    for p in pids_serving(mnt):
        try:
            os.kill(p, signal.SIGKILL)
        except OSError:
            pass
    force_unmount(mnt)


def sh(cmd, **kw):
    """A shell command line, run as run() runs a command."""
    return run(["sh", "-c", cmd], **kw)


class ProgramCopy(unittest.TestCase):
    """A private copy of the program that any user may run, and a working
    directory without a zkue.ini, so that nothing around the build affects
    the runs."""

    prefix = "zkue_prog_"

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix=cls.prefix)
        os.chmod(cls.tmp, 0o755)
        cls.exe = os.path.join(cls.tmp, "zkue")
        shutil.copy2(ZKUE, cls.exe)
        os.chmod(cls.exe, 0o755)
        cls.cwd = os.path.join(cls.tmp, "cwd")
        os.mkdir(cls.cwd)
        os.chmod(cls.cwd, 0o777)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_zkue(self, *args, env=None, prefix=(), timeout=30):
        """The copy run with args, without the caller's ZK_ variables (env
        adds some), its standard input empty."""
        e = clean_env()
        e.update(env or {})
        return subprocess.run(list(prefix) + [self.exe] + list(args), cwd=self.cwd, env=e, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)


class MountedSource(unittest.TestCase):
    """One source directory mounted read-write for all tests of the class:
    cls.src is seen at cls.mnt; cls.z is the serving program, running in
    cls.run_dir (its log lies there). A class may set other mount options,
    another place for the source below cls.tmp, a folder of the program's
    own to run in, and lay out more in prepare() before the mount."""

    prefix = "zkue_src_"
    level = None
    options = "rw"
    source = "src"
    run_in = None

    @classmethod
    def prepare(cls):
        """Called once cls.src and cls.run_dir exist, before mounting."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix=cls.prefix)
        cls.src = os.path.join(cls.tmp, cls.source)
        cls.mnt = os.path.join(cls.tmp, "mnt")
        cls.run_dir = os.path.join(cls.tmp, cls.run_in) if cls.run_in else cls.tmp
        os.makedirs(cls.src)
        os.makedirs(cls.run_dir, exist_ok=True)
        cls.prepare()
        cls.z = Zkue(cls.src, cls.mnt, options=cls.options, level=cls.level, cwd=cls.run_dir)
        try:
            cls.z.start()
        except Exception:
            cls.z.close()
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.z.close()
        finally:
            force_unmount(cls.mnt)
            shutil.rmtree(cls.tmp, ignore_errors=True)
