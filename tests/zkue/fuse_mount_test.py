#!/usr/bin/env python3
"""zkue mounting a local directory through FUSE: option settling as the
kernel sees it, read-only refusal, the ways a mount ends (umount, SIGTERM),
detaching with -d only once the mount is up, set-up failures, stale mounts,
allow_other, the heartbeat's absence for local paths and the daemon's umask.

Every mount is taken down again, also when a check fails: `umount`, then a
lazy `umount -l`, then killing the program. Needs root and /dev/fuse."""
import errno
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import (ZKUE, Zkue, clean_env, force_unmount, release_mount, fuse_usable, is_fuse_mounted,  # noqa: E402,F401
                        mountinfo_entry, pids_serving, proc_mounts_line, run, wait_for)


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
        release_mount(self.mnt)
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
        # libfuse's reason on the console, also in the program's own error line.
        self.assertIn("error=fuse mount failed: 'allow_other' and 'allow_root' options are mutually exclusive",
                      r.stderr)
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

    # ---- refusals and messages ------------------------------------------------------

    def test_a_mount_that_would_show_itself_is_refused(self):
        deep = os.path.join(self.tmp, *["d%02d" % i for i in range(60)])
        os.makedirs(deep)
        os.symlink(self.src, os.path.join(self.tmp, "alias"))
        os.mkdir(self.mnt)
        cases = [
            (self.src, self.src),                                   # the same directory
            (self.src, os.path.join(self.src, "sub")),              # mount point inside the source
            (os.path.join(self.tmp, "alias"), os.path.join(self.src, "x")),  # the same through a link
            (os.path.join(self.mnt, "inner"), self.mnt),            # source under the mount point
            (self.tmp, self.mnt),
            (deep, os.path.join(deep, "m")),
        ]
        os.mkdir(os.path.join(self.mnt, "inner"))
        for src, mnt in cases:
            with self.subTest(src=src[-40:], mnt=mnt[-40:]):
                try:
                    r = run([ZKUE, "-q", "-u", src, "-m", mnt, "-r", "options=rw"], cwd=self.tmp,
                            env=clean_env(), timeout=20)
                    self.assertEqual(r.returncode, 255, r.stderr)
                    self.assertIn("overlap: a mount cannot show itself", r.stderr)
                    self.assertIn("mount point [%s]" % os.path.realpath(mnt), r.stderr)
                    self.assertFalse(is_fuse_mounted(mnt))
                finally:
                    # A mount that was made after all would hang whoever looks.
                    subprocess.run(["umount", "-l", mnt], capture_output=True, timeout=20)
        # Beside each other is fine.
        with Zkue(deep, os.path.join(self.tmp, "beside")) as z:
            self.assertEqual(z.unmount(), 0)

    def test_clear_messages_for_a_file_as_mount_point_or_source(self):
        plain = os.path.join(self.tmp, "plain")
        with open(plain, "w") as f:
            f.write("x")
        r = run([ZKUE, "-q", "-u", self.src, "-m", plain], cwd=self.tmp, env=clean_env())
        self.assertEqual(r.returncode, 255, r.stderr)
        self.assertIn("error=Not a directory", r.stderr)
        tar = os.path.join(self.tmp, "a.tar")
        self.assertEqual(run(["tar", "-cf", tar, "-C", self.src, "f"]).returncode, 0)
        r = run([ZKUE, "-q", "-u", tar, "-m", self.mnt], cwd=self.tmp, env=clean_env())
        self.assertEqual(r.returncode, 255, r.stderr)
        self.assertIn("error=source [%s] is not a directory and not a supported archive" % tar, r.stderr)
        self.assertNotIn("\x1b[", r.stderr, "no colour escapes into a pipe")

    def test_unknown_items_are_named_once_and_kept(self):
        with Zkue(self.src, self.mnt, options="rw,nosuchopt", query="nosuchkey=1&debug=0") as z:
            out = z.output()
            self.assertEqual(out.count("mount option [nosuchopt] is not one FUSE knows"), 1, out)
            self.assertEqual(out.count("[nosuchkey] is no url option zkue knows"), 1, out)
            self.assertNotIn("[debug]", out)
            self.assertEqual(z.unmount(), 0)

    # ---- stopping ---------------------------------------------------------------------

    def test_stop_while_the_loop_logs_every_request(self):
        # Each request writes a log line on the thread the stop signal lands
        # on; the handler must never wait for the log.
        for _ in range(6):
            with Zkue(self.src, self.mnt, level="verb") as z:
                busy = subprocess.Popen(["sh", "-c", "while :; do stat %s/f >/dev/null 2>&1; done" % self.mnt])
                try:
                    time.sleep(0.05)
                    z.proc.send_signal(signal.SIGTERM)
                    self.assertEqual(z.wait_exit(), 0, z.output()[-2000:])
                finally:
                    busy.kill()
                    busy.wait()
                out = z.output()
                self.assertEqual(out.count("signo=15 [Terminated] call user_stop_proc"), 1, out[-2000:])
                self.assertNotIn("failed to unmount", out)
                self.assertFalse(is_fuse_mounted(self.mnt))

    def test_forced_unmount_with_a_file_open_leaves_no_dead_mount(self):
        with Zkue(self.src, self.mnt, options="rw") as z:
            fd = os.open(os.path.join(self.mnt, "f"), os.O_RDONLY)
            try:
                subprocess.run(["umount", "-f", self.mnt], capture_output=True, timeout=20)
                self.assertEqual(z.wait_exit(), 0, z.output())
            finally:
                try:
                    os.close(fd)
                except OSError:  # the kernel gave the connection up
                    pass
            self.assertFalse(is_fuse_mounted(self.mnt), "a dead mount was left behind")
            os.listdir(self.mnt)  # no "Transport endpoint is not connected"

    def test_detached_daemon_holds_nothing_of_its_starter(self):
        lock = os.path.join(self.tmp, "lock")
        fd = os.open(lock, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            r = subprocess.run([ZKUE, "-q", "-u", self.src, "-m", self.mnt, "-d"], cwd=self.tmp, env=clean_env(),
                               pass_fds=(fd,), capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
        finally:
            os.close(fd)
        pids = pids_serving(self.mnt)
        self.assertEqual(len(pids), 1, pids)
        other = os.open(lock, os.O_RDWR)
        try:
            fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)  # free: the daemon let go of it
        finally:
            os.close(other)
        subprocess.run(["umount", self.mnt], check=True, timeout=20)
        self.assertTrue(wait_for(lambda: pids[0] not in pids_serving(self.mnt)))


if __name__ == "__main__":
    unittest.main()
