#!/usr/bin/env python3
"""Every FUSE operation of zkue through a read-write mount of a local
directory, with and without handle caches (the suite is fuse_suite.py);
and a write the source refuses for want of space. Needs root and
/dev/fuse."""
import errno
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fuse_suite import LocalSource, suite_classes  # noqa: E402
from zk_testlib import Zkue, force_unmount, fuse_usable  # noqa: E402

suite_classes(LocalSource, globals())


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class FuseWriteErrors(unittest.TestCase):
    """A write the source refuses (a full file system) must reach the
    program: at write(2) or at the latest at close(2), never lost."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_full_")
        self.src = os.path.join(self.tmp, "src")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.mkdir(self.src)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "zk_full", self.src], check=True, timeout=20)

    def tearDown(self):
        force_unmount(self.mnt)
        subprocess.run(["umount", "-l", self.src], capture_output=True)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_full_source_reports_the_error_at_close(self):
        with Zkue(self.src, self.mnt, options="rw", cwd=self.tmp) as z:
            fd = os.open(os.path.join(self.mnt, "big"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            failed = None
            try:
                # Less than the write-behind cache holds: nothing fails yet.
                for _ in range(48):
                    os.write(fd, b"z" * 32768)
            except OSError as e:
                failed = e
            try:
                os.close(fd)
            except OSError as e:
                failed = failed or e
            self.assertIsNotNone(failed, "1.5 MiB written to a 1 MiB file system without an error")
            self.assertEqual(failed.errno, errno.ENOSPC)
            self.assertLess(os.stat(os.path.join(self.src, "big")).st_size, 48 * 32768)
            # The mount goes on serving.
            os.unlink(os.path.join(self.mnt, "big"))
            with open(os.path.join(self.mnt, "small"), "w") as f:
                f.write("ok")
            self.assertEqual(z.unmount(), 0)


if __name__ == "__main__":
    unittest.main()
