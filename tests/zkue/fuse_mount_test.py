#!/usr/bin/env python3
"""zkue mounting a local directory through FUSE: option settling as the
kernel sees it, read-only refusal, the ways a mount ends (umount, SIGTERM),
detaching with -d only once the mount is up, set-up failures, stale mounts,
allow_other, the heartbeat's absence for local paths and the daemon's umask.

Every mount is taken down again, also when a check fails: `umount`, then a
lazy `umount -l`, then killing the program. Needs root and /dev/fuse."""
import errno
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

ZKUE = os.environ.get("ZKUE", "zkue")


def fuse_usable():
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


def wait_for(pred, timeout=10.0, step=0.05):
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
    return {k: v for k, v in os.environ.items() if not k.startswith("ZK_")}


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

    def wait_exit(self, timeout=15):
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


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=60, **kw)


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


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class FuseMount(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_mnt_")
        self.src = os.path.join(self.tmp, "src")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.mkdir(self.src)
        with open(os.path.join(self.src, "f"), "w") as f:
            f.write("content\n")

    def tearDown(self):
        force_unmount(self.mnt)
        for p in pids_serving(self.mnt):
            try:
                os.kill(p, signal.SIGKILL)
            except OSError:
                pass
        force_unmount(self.mnt)
        subprocess.run(["umount", "-l", os.path.join(self.tmp, "tmpfs")], capture_output=True)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_default_is_read_only_and_umount_ends_with_zero(self):
        with Zkue(self.src, self.mnt, options=None) as z:
            self.assertEqual(proc_mounts_line(self.mnt),
                             "/dev/fuse %s fuse ro,nosuid,nodev,relatime,user_id=0,group_id=0 0 0" % self.mnt)
            with open(os.path.join(self.mnt, "f")) as f:
                self.assertEqual(f.read(), "content\n")
            r = run(["touch", os.path.join(self.mnt, "x")])
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("Read-only file system", r.stderr)
            with self.assertRaises(OSError) as cm:
                os.mkdir(os.path.join(self.mnt, "d"))
            self.assertEqual(cm.exception.errno, errno.EROFS)
            self.assertEqual(z.unmount(), 0)
        self.assertFalse(os.path.exists(os.path.join(self.src, "x")))
        self.assertFalse(is_fuse_mounted(self.mnt))

    def test_read_write_mount_shows_rw(self):
        with Zkue(self.src, self.mnt, options="rw") as z:
            self.assertEqual(proc_mounts_line(self.mnt),
                             "/dev/fuse %s fuse rw,nosuid,nodev,relatime,user_id=0,group_id=0 0 0" % self.mnt)
            self.assertEqual(z.unmount(), 0)

    def test_sigterm_unmounts_and_ends_with_zero(self):
        with Zkue(self.src, self.mnt) as z:
            z.proc.send_signal(signal.SIGTERM)
            self.assertEqual(z.wait_exit(), 0)
            self.assertFalse(is_fuse_mounted(self.mnt), "the stop path unmounts")
            self.assertIn("signo=15 [Terminated] call user_stop_proc", z.output())

    def test_sigterm_writes_out_what_open_files_hold(self):
        # A file open for writing only keeps its bytes in the write-behind
        # cache until it is closed; a stop signal must not lose them.
        with Zkue(self.src, self.mnt, options="rw") as z:
            fd = os.open(os.path.join(self.mnt, "held.txt"), os.O_WRONLY | os.O_CREAT, 0o644)
            try:
                self.assertEqual(os.write(fd, b"0123456789"), 10)
                self.assertEqual(os.path.getsize(os.path.join(self.src, "held.txt")), 0, "still held")
                z.proc.send_signal(signal.SIGTERM)
                self.assertEqual(z.wait_exit(), 0)
            finally:
                try:
                    os.close(fd)
                except OSError:
                    pass
            with open(os.path.join(self.src, "held.txt"), "rb") as f:
                self.assertEqual(f.read(), b"0123456789")
            self.assertFalse(is_fuse_mounted(self.mnt))

    def test_sigint_and_sigquit_also_stop_cleanly(self):
        for sig in (signal.SIGINT, signal.SIGQUIT):
            with Zkue(self.src, self.mnt) as z:
                z.proc.send_signal(sig)
                self.assertEqual(z.wait_exit(), 0, sig)
                self.assertFalse(is_fuse_mounted(self.mnt))

    def test_crash_signal_unmounts_before_the_crash_exit(self):
        with Zkue(self.src, self.mnt) as z:
            z.proc.send_signal(signal.SIGSEGV)
            self.assertEqual(z.wait_exit(), 254)
            self.assertFalse(is_fuse_mounted(self.mnt), "the panic callback unmounts")
            self.assertIn("signo=11 [Segmentation fault]", z.output())

    def test_detach_returns_only_once_mounted(self):
        r = run([ZKUE, "-q", "-u", self.src, "-m", self.mnt, "-r", "options=rw", "-d"], cwd=self.tmp,
                env=clean_env())
        self.assertEqual(r.returncode, 0, r.stderr)
        # No waiting here: the starting process ended, so the mount must be up.
        self.assertTrue(is_fuse_mounted(self.mnt))
        with open(os.path.join(self.mnt, "f")) as f:
            self.assertEqual(f.read(), "content\n")
        pids = pids_serving(self.mnt)
        self.assertEqual(len(pids), 1, pids)
        pid = pids[0]
        with open("/proc/%d/status" % pid) as f:
            status = f.read()
        self.assertIn("Umask:\t0022", status)
        # Detached: its own session, standard streams on /dev/null.
        self.assertNotEqual(os.getsid(pid), os.getsid(0))
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (pid, fd)), "/dev/null")
        # Files created through the daemon still get the requested mode.
        old = os.umask(0o002)
        try:
            os.mkdir(os.path.join(self.mnt, "dir"))
            with open(os.path.join(self.mnt, "new"), "w"):
                pass
        finally:
            os.umask(old)
        self.assertEqual(os.stat(os.path.join(self.src, "dir")).st_mode & 0o7777, 0o775)
        self.assertEqual(os.stat(os.path.join(self.src, "new")).st_mode & 0o7777, 0o664)
        subprocess.run(["umount", self.mnt], check=True, timeout=20)
        self.assertTrue(wait_for(lambda: pid not in pids_serving(self.mnt)))

    def test_detach_reports_a_failed_set_up(self):
        r = run([ZKUE, "-q", "-u", self.src, "-m", self.mnt, "-r", "options=allow_other,allow_root", "-d"],
                cwd=self.tmp, env=clean_env())
        self.assertEqual(r.returncode, 255)
        self.assertIn("'allow_other' and 'allow_root' options are mutually exclusive", r.stderr)
        self.assertFalse(is_fuse_mounted(self.mnt))
        self.assertEqual(pids_serving(self.mnt), [])

    def test_usage_example_options_cannot_mount(self):
        r = run([ZKUE, "-q", "-u", self.src, "-m", self.mnt, "-r", "options=rw,allow_other,allow_root,noexec"],
                cwd=self.tmp, env=clean_env())
        self.assertEqual(r.returncode, 255)
        self.assertIn("'allow_other' and 'allow_root' options are mutually exclusive", r.stderr)
        self.assertIn("error=fuse mount failed, see the log", r.stderr)
        self.assertFalse(is_fuse_mounted(self.mnt))

    def test_missing_mount_dir_fails_before_the_source_is_touched(self):
        missing = os.path.join(self.tmp, "no-such-source")
        r = run([ZKUE, "-q", "-u", missing], cwd=self.tmp, env=clean_env())
        self.assertEqual(r.returncode, 255)
        self.assertIn("error=need mount dir", r.stderr)

    def test_mount_dir_is_normalised_and_created(self):
        messy = "/" + self.tmp.strip("/").replace("/", "//") + "//a///b"
        want = os.path.join(self.tmp, "a", "b")
        z = Zkue(self.src, messy, cwd=self.tmp)
        z.mnt = want
        with z:
            self.assertTrue(is_fuse_mounted(want))
            self.assertEqual(os.listdir(want), ["f"])
            self.assertEqual(z.unmount(), 0)

    def test_stale_fuse_mount_is_replaced(self):
        with Zkue(self.src, self.mnt) as z:
            z.proc.kill()
            z.wait_exit()
            with self.assertRaises(OSError) as cm:
                os.stat(self.mnt)
            self.assertEqual(cm.exception.errno, errno.ENOTCONN)
            with Zkue(self.src, self.mnt) as z2:
                self.assertEqual(os.listdir(self.mnt), ["f"])
                self.assertEqual(z2.unmount(), 0)
            self.assertFalse(is_fuse_mounted(self.mnt))

    def test_other_file_system_on_mount_dir_is_left_alone(self):
        t = os.path.join(self.tmp, "tmpfs")
        os.mkdir(t)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "zk_test", t], check=True, timeout=20)
        try:
            with Zkue(self.src, t) as z:
                self.assertEqual(os.listdir(t), ["f"])
                self.assertEqual(z.unmount(), 0)
            self.assertEqual(mountinfo_entry(t)[0], "tmpfs")
        finally:
            subprocess.run(["umount", "-l", t], capture_output=True)

    def test_allow_other_keeps_the_source_permissions(self):
        secret = os.path.join(self.src, "secret")
        with open(secret, "w") as f:
            f.write("x")
        os.chmod(secret, 0o600)
        os.chmod(self.tmp, 0o755)
        with Zkue(self.src, self.mnt, options="rw,allow_other") as z:
            line = proc_mounts_line(self.mnt)
            self.assertIn("default_permissions,allow_other", line)
            nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            r = run(nobody + ["cat", os.path.join(self.mnt, "f")])
            self.assertEqual((r.returncode, r.stdout), (0, "content\n"), r.stderr)
            r = run(nobody + ["cat", os.path.join(self.mnt, "secret")])
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("Permission denied", r.stderr)
            r = run(nobody + ["touch", os.path.join(self.mnt, "byother")])
            self.assertIn("Permission denied", r.stderr)
            self.assertEqual(z.unmount(), 0)

    def test_local_mount_has_no_heartbeat_thread(self):
        with Zkue(self.src, self.mnt) as z:
            os.listdir(self.mnt)
            tasks = os.listdir("/proc/%d/task" % z.proc.pid)
            self.assertEqual(len(tasks), 1, tasks)
            with open("/proc/%d/status" % z.proc.pid) as f:
                self.assertIn("Umask:\t0022", f.read())
            self.assertEqual(z.unmount(), 0)

    def test_second_mount_on_a_live_mount_point_fails(self):
        with Zkue(self.src, self.mnt) as z:
            other = os.path.join(self.tmp, "src2")
            os.mkdir(other)
            r = run([ZKUE, "-q", "-u", other, "-m", self.mnt, "-r", "options=rw"], cwd=self.tmp,
                    env=clean_env())
            self.assertEqual(r.returncode, 255, r.stderr)
            # The first mount is untouched and still serves.
            self.assertEqual(os.listdir(self.mnt), ["f"])
            self.assertEqual(z.unmount(), 0)


if __name__ == "__main__":
    unittest.main()
