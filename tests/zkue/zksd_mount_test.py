#!/usr/bin/env python3
"""zkue mounting zkp:// sources served by the project's zksd test server
(the operations themselves, over zkp:// and zkps://, are the syscall
suite's: fuse_ops_zkp_test.py, fuse_ops_zkps_test.py): a server too old
refused with status 255; a read-only server forcing a read-only mount;
connections dropped in the middle of large reads and writes; an idle mount whose connection dropped
serving again; the server killed with files open, after which the
heartbeat unmounts and zkue ends with 0.

Every mount and every server is taken down again, also when a check
fails. Needs root and /dev/fuse."""
import errno
import filecmp
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from zk_testlib import Zkue, force_unmount, release_mount, fuse_usable, is_fuse_mounted, pids_serving, proc_mounts_line, run, wait_for  # noqa: E402

SERVER = os.path.join(HERE, "..", "zksd_server", "zksd_server.py")
MIB = 1024 * 1024
# The account's password: no log line may show it.
PASSWORD = "pw-Marker-5731"


class ZksdProc:
    """The test server as a process on a free port, serving root."""

    def __init__(self, root, args=(), log=None):
        cmd = [sys.executable, SERVER, "--root", root, "--password", PASSWORD] + list(args)
        if log:
            cmd += ["--log", log]
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.errors, start_new_session=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 60)
        line = self.proc.stdout.readline().decode() if ready else ""
        if not line.startswith("PORT "):
            self.stop()
            self.errors.seek(0)
            raise AssertionError("zksd test server did not start (%s): %r\n%s" % (
                "exit status %s" % self.proc.returncode if ready else "no port in 60 s", line,
                self.errors.read().decode(errors="replace")[-3000:]))
        self.port = int(line.split()[1])

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait(timeout=10)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.kill()
        self.proc.stdout.close()
        self.errors.close()


def pattern(n, seed):
    """n bytes that differ at every offset of a 4 KiB page and between files."""
    block = bytes((i * 131 + seed + i // 4099) & 0xFF for i in range(65537))
    return (block * (n // len(block) + 1))[:n]


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class ZksdMount(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_zksd_")
        self.served = os.path.join(self.tmp, "served")
        self.dir = os.path.join(self.served, "dir")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.makedirs(self.dir)
        self.srv = None
        self.z = None
        os.environ.pop("http_proxy", None)

    def tearDown(self):
        try:
            if self.z:
                self.z.close()
            release_mount(self.mnt)
        finally:
            if self.srv:
                self.srv.stop()
            shutil.rmtree(self.tmp, ignore_errors=True)

    def serve(self, *args):
        self.srv = ZksdProc(self.served, args, log=os.path.join(self.tmp, "req.log"))
        return self.srv

    def url(self, scheme="zkp"):
        return "%s://u:%s@127.0.0.1:%d/dir?read_timeout=3&connect_timeout=2" % (scheme, PASSWORD, self.srv.port)

    def mount(self, scheme="zkp", options="rw", start=True, level=None):
        self.z = Zkue(self.url(scheme), self.mnt, options=options, cwd=self.tmp, level=level)
        os.makedirs(self.mnt, exist_ok=True)
        return self.z.start() if start else self.z

    def m(self, *p):
        return os.path.join(self.mnt, *p)

    def s(self, *p):
        return os.path.join(self.dir, *p)

    def test_server_older_than_1_5_2_is_refused(self):
        self.serve("--version", "1.5.1")
        z = self.mount(start=False)
        z.start(wait=False)
        self.assertEqual(z.wait_exit(timeout=30), 255)
        self.assertIn("not supported, please upgrade zksd to the latest version", z.output())
        self.assertFalse(is_fuse_mounted(self.mnt))

    def test_read_only_server_forces_a_read_only_mount(self):
        self.serve("--readonly")
        with open(self.s("f"), "w") as f:
            f.write("x")
        z = self.mount()
        self.assertIn(" fuse ro,", proc_mounts_line(self.mnt))
        self.assertIn("VFS read-only Forced to read-only mount", z.output())
        with self.assertRaises(OSError) as cm:
            os.mkdir(self.m("d"))
        self.assertEqual(cm.exception.errno, errno.EROFS)
        with open(self.m("f")) as f:
            self.assertEqual(f.read(), "x")

    def test_names_no_entry_may_carry_leave_the_listing_whole(self):
        # Every listing carries "a/b", "", "." and ".." as files, a name with
        # a NUL byte and one of 256 bytes right after its own "." and "..":
        # each is skipped with its log line, every real name is listed.
        self.serve("--bad-names")
        good = ["f%03d-%s" % (i, "n" * 40) for i in range(300)] + ["g" * 255]
        for n in good:
            open(self.s(n), "w").close()
        os.mkdir(self.s("sub"))
        for n in ("one", "two"):
            open(self.s("sub", n), "w").close()
        z = self.mount()
        self.assertEqual(sorted(os.listdir(self.mnt)), sorted(good + ["sub"]))
        self.assertEqual(sorted(os.listdir(self.m("sub"))), ["one", "two"])
        r = run(["find", self.mnt])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(r.stdout.splitlines()), 1 + len(good) + 1 + 2)
        r = run(["ls", "-a1", self.m("sub")])
        self.assertEqual(r.stdout.split(), [".", "..", "one", "two"])
        self.assertTrue(os.path.exists(self.m("g" * 255)))
        out = z.output()
        for why in ("name holds '/'", "empty name", "not a directory", "holds a NUL byte", "longer than 255"):
            self.assertIn(why, out)
        self.assertEqual(z.unmount(), 0)

    def test_connection_dropped_in_large_read_and_write(self):
        # The 3rd read and the 5th write find the connection closed under them.
        self.serve("--drop-before", "3:29", "--drop-before", "5:30")
        big = pattern(8 * MIB + 1, 3)
        with open(self.s("big.bin"), "wb") as f:
            f.write(big)
        local = os.path.join(self.tmp, "up.bin")
        with open(local, "wb") as f:
            f.write(pattern(8 * MIB + 3, 5))
        z = self.mount()
        self.assertEqual(run(["cmp", self.m("big.bin"), self.s("big.bin")]).returncode, 0)
        self.assertEqual(run(["cp", local, self.m("up.bin")]).returncode, 0)
        self.assertTrue(filecmp.cmp(local, self.s("up.bin"), shallow=False))
        with open(os.path.join(self.tmp, "req.log")) as f:
            self.assertEqual(f.read().count('"event": "drop"'), 2)
        self.assertEqual(z.unmount(), 0)

    def test_a_read_reply_sent_twice_never_makes_a_corrupt_copy(self):
        # The 3rd read's reply comes twice: every reply after it would
        # answer the request before its own. cp fails, or its copy is right;
        # the recovered connection then copies the file whole.
        self.serve("--dup-reply", "3:29")
        big = pattern(8 * MIB + 7, 13)
        with open(self.s("big.bin"), "wb") as f:
            f.write(big)
        z = self.mount()
        out = os.path.join(self.tmp, "out.bin")
        r = run(["cp", self.m("big.bin"), out])
        with open(out, "rb") as f:
            copied = f.read()
        self.assertTrue(r.returncode != 0 or copied == big, "cp exited 0 with a corrupt copy")
        self.assertNotEqual(r.returncode, 0, "the copy was right, but the duplicate went unseen")
        self.assertIn("out of step", z.output())
        os.unlink(out)
        self.assertEqual(run(["cp", self.m("big.bin"), out]).returncode, 0)
        self.assertTrue(filecmp.cmp(out, self.s("big.bin"), shallow=False))
        self.assertEqual(z.unmount(), 0)

    def test_writes_lost_in_flight_fail_the_copy(self):
        # The 3rd write finds the connection gone and the server refuses
        # every later connection: what was in flight is lost, and cp says so.
        self.serve("--drop-before", "3:30", "--after-drop", "reset:100")
        local = os.path.join(self.tmp, "up.bin")
        with open(local, "wb") as f:
            f.write(pattern(8 * MIB, 17))
        z = self.mount()
        r = run(["cp", local, self.m("up.bin")])
        self.assertNotEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("up.bin", r.stderr)
        z.close()
        self.z = None

    def test_idle_mount_whose_connection_dropped_serves_again(self):
        # 1.5.3 has no recovery in the client: the driver reconnects for the
        # open behind cat and the stat behind stat(1).
        self.serve("--version", "1.5.3", "--drop-before", "1:25", "--drop-before", "2:7")
        with open(self.s("f"), "w") as f:
            f.write("hello\n")
        z = self.mount()
        self.assertEqual(run(["cat", self.m("f")]).stdout, "hello\n")
        r = run(["stat", "-c", "%s", self.m("f")])
        self.assertEqual(r.stdout.strip(), "6", r.stderr)
        self.assertEqual(z.unmount(), 0)

    def test_server_killed_with_file_open_heartbeat_unmounts(self):
        self.serve()
        with open(self.s("f"), "wb") as f:
            f.write(pattern(8 * MIB, 1))
        z = self.mount(level="dbg")
        fd = os.open(self.m("f"), os.O_RDONLY | os.O_DIRECT)
        try:
            self.assertEqual(len(os.pread(fd, 4096, 0)), 4096)
            self.srv.kill()
            # Past what was read ahead of the first read.
            with self.assertRaises(OSError):
                os.pread(fd, 4096, 7 * MIB)
            # The heartbeat sees the lost connection within a cycle or two
            # and takes the mount away (detached while the file is open).
            self.assertTrue(wait_for(lambda: not is_fuse_mounted(self.mnt), timeout=30), z.output())
        finally:
            os.close(fd)
        # The last open file closed, the request loop ends.
        self.assertEqual(z.wait_exit(timeout=30), 0, z.output())
        out = z.output()
        self.assertIn("fcount=1 dcount=0 error: need reopen!!", out)
        self.assertIn("vfs_error_need_remount...", out)

if __name__ == "__main__":
    unittest.main()
