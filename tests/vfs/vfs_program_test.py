#!/usr/bin/env python3
"""The virtual file system as zkue uses it: mount errors of local roots and
of URLs no driver takes, and data written through a mount of a local
directory (write-behind cache, a path truncate behind held writes), checked
with coreutils against the source directory. Needs root; the mounts also
need /dev/fuse."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import ZKUE, MountedSource, clean_env, force_unmount, fuse_usable, is_fuse_mounted, run  # noqa: E402


@unittest.skipUnless(os.geteuid() == 0, "zkue runs as root only")
class MountErrors(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_vfs_")
        self.mnt = os.path.join(self.tmp, "mnt")

    def tearDown(self):
        force_unmount(self.mnt)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def zkue(self, url, *args):
        return run([ZKUE, "-q", "-u", url, "-m", self.mnt] + list(args), cwd=self.tmp, env=clean_env())

    def test_local_root_must_be_an_existing_directory(self):
        plain = os.path.join(self.tmp, "plain")
        with open(plain, "w") as f:
            f.write("x")
        for url, said in (("/nonexistent", "error=File not found."),
                          (plain, "error=source [%s] is not a directory and not a supported archive" % plain)):
            r = self.zkue(url)
            self.assertEqual(r.returncode, 255, r.stderr)
            self.assertIn(said, r.stderr)
            self.assertFalse(is_fuse_mounted(self.mnt))
        # -l verb raises the console level too: the URLs and the driver chosen.
        r = self.zkue("/nonexistent", "-l", "verb")
        self.assertRegex(r.stderr, r"vfs_mount2\(\): url=\[/nonexistent\?[^]]*\] turl=\[/nonexistent\?")
        self.assertIn("vfs_mount2(): drv=file", r.stderr)

    def test_url_without_a_driver_is_never_a_local_directory(self):
        for url in ("https://x/", "net://s", "foo://h/p"):
            r = self.zkue(url)
            self.assertEqual(r.returncode, 255, r.stderr)
            self.assertIn("find_drv failed", r.stderr)
            self.assertFalse(is_fuse_mounted(self.mnt))


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class ThroughTheMount(MountedSource):
    prefix = "zkue_vfs_"

    def S(self, name):
        return os.path.join(self.src, name)

    def M(self, name):
        return os.path.join(self.mnt, name)

    def test_random_megabytes_arrive_whole(self):
        r = run(["dd", "if=/dev/urandom", "of=" + self.M("big"), "bs=1M", "count=8"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(run(["stat", "-c", "%s", self.S("big")]).stdout.strip(), "8388608")
        self.assertEqual(run(["cmp", self.M("big"), self.S("big")]).returncode, 0)

    def test_path_truncate_is_not_overtaken_by_held_writes(self):
        # Nothing may fork while the descriptor is open: the child's copy,
        # closed at exec, would flush the held bytes and hide the order.
        fd = os.open(self.M("t"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            self.assertEqual(os.write(fd, b"x" * 5000), 5000)
            os.truncate(self.M("t"), 0)
        finally:
            os.close(fd)
        self.assertEqual(run(["stat", "-c", "%s", self.S("t")]).stdout.strip(), "0")


if __name__ == "__main__":
    unittest.main()
