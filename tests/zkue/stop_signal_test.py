#!/usr/bin/env python3
"""A stop signal while zkue waits for a zksd server that does not answer: in
the recovery of a request the stopped server never answered, and in the
login at start-up. The program unmounts, logs the stop and ends with 0 at
once, instead of when the waits and retries give up.

Needs root and /dev/fuse."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, HERE)
from zk_testlib import Zkue, fuse_usable, is_fuse_mounted, release_mount, wait_for  # noqa: E402
from zksd_mount_test import PASSWORD, ZksdProc  # noqa: E402

STOP_LINE = "signo=15 [Terminated] call user_stop_proc"
# The waits the stop must cut short: a login answer (60 s), and the three
# reconnects of a recovery, each waiting for its login answer (3 x 10 s).
# The bound lies well below them and well above the stop's own grace of a
# second, so that a loaded machine does not fail it.
READ_TIMEOUT_S = 60
RECOVERY_TIMEOUT_S = 10
STOP_BOUND_S = 15


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class StopWhileTheServerIsSilent(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_stop_")
        self.served = os.path.join(self.tmp, "served")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.makedirs(os.path.join(self.served, "dir"))
        os.makedirs(self.mnt)
        self.srv = None
        self.z = None
        self.ls = None

    def tearDown(self):
        try:
            if self.ls and self.ls.poll() is None:
                self.ls.kill()
            if self.srv and self.srv.proc.poll() is None:
                os.kill(self.srv.proc.pid, signal.SIGCONT)
            if self.z:
                self.z.close()
            release_mount(self.mnt)
            if self.ls:
                self.ls.wait(timeout=30)
        finally:
            if self.srv:
                self.srv.stop()
            shutil.rmtree(self.tmp, ignore_errors=True)

    def stop_and_time(self):
        """SIGTERM to the program: (exit status, seconds it took)."""
        t0 = time.monotonic()
        self.z.proc.send_signal(signal.SIGTERM)
        status = self.z.wait_exit(timeout=READ_TIMEOUT_S * 3)
        return status, time.monotonic() - t0

    def test_stop_during_the_recovery_of_an_unanswered_request(self):
        self.srv = ZksdProc(self.served)
        url = "zkp://u:%s@127.0.0.1:%d/dir?read_timeout=%d" % (PASSWORD, self.srv.port, RECOVERY_TIMEOUT_S)
        self.z = Zkue(url, self.mnt, cwd=self.tmp, level="verb").start()
        os.kill(self.srv.proc.pid, signal.SIGSTOP)
        self.ls = subprocess.Popen(["ls", "-l", self.mnt], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The request timed out and the client now reconnects and logs in
        # again, each wait as long as the request's.
        self.assertTrue(wait_for(lambda: "start fix.." in self.z.output(), timeout=120), self.z.output()[-3000:])
        status, took = self.stop_and_time()
        out = self.z.output()
        self.assertEqual(status, 0, out[-3000:])
        self.assertLess(took, STOP_BOUND_S, out[-3000:])
        self.assertEqual(out.count(STOP_LINE), 1, out[-3000:])
        self.assertFalse(is_fuse_mounted(self.mnt))
        self.ls.wait(timeout=30)  # the kernel answered the waiting ls

    def test_stop_during_the_login_at_start_up(self):
        # A listener the kernel completes connections for and nobody answers.
        lst = socket.socket()
        self.addCleanup(lst.close)
        lst.bind(("127.0.0.1", 0))
        lst.listen(4)
        url = "zkp://u:%s@127.0.0.1:%d/dir?read_timeout=%d" % (PASSWORD, lst.getsockname()[1], READ_TIMEOUT_S)
        self.z = Zkue(url, self.mnt, cwd=self.tmp, level="dbg").start(wait=False)
        lst.settimeout(60)
        conn, _ = lst.accept()  # the program is connected and waits for the login's answer
        self.addCleanup(conn.close)
        status, took = self.stop_and_time()
        out = self.z.output()
        self.assertEqual(status, 0, out[-3000:])
        self.assertLess(took, STOP_BOUND_S, out[-3000:])
        self.assertEqual(out.count(STOP_LINE), 1, out[-3000:])
        self.assertNotIn("error=", out)
        self.assertFalse(is_fuse_mounted(self.mnt))


if __name__ == "__main__":
    unittest.main()
