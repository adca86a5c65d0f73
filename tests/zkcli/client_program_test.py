#!/usr/bin/env python3
"""Session references on zkue's command line: an unknown session ends the
program with the translation's error, and a "loc" session mounts the local
path of its reference. The sessions file is the one in the working
directory. Needs root; the mount also needs /dev/fuse."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "zkue"))
from fuse_mount_test import ZKUE, Zkue, clean_env, force_unmount, fuse_usable, is_fuse_mounted, run  # noqa: E402


@unittest.skipUnless(os.geteuid() == 0, "zkue runs as root only")
class SessionReferences(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_cli_")
        self.src = os.path.join(self.tmp, "src")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.mkdir(self.src)
        with open(os.path.join(self.tmp, "zk_client.ini"), "w") as f:
            f.write("[session/here]\nprot = loc\n")

    def tearDown(self):
        force_unmount(self.mnt)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_unknown_session_ends_the_program(self):
        r = run([ZKUE, "-q", "-u", "///nosuch", "-m", self.mnt], cwd=self.tmp, env=clean_env())
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("url_conf_2_real [///nosuch] error: 'nosuch' does not exist", r.stderr)
        self.assertFalse(is_fuse_mounted(self.mnt))

    @unittest.skipUnless(fuse_usable(), "needs /dev/fuse")
    def test_loc_session_mounts_the_path_of_the_reference(self):
        with open(os.path.join(self.src, "f"), "w") as f:
            f.write("by session\n")
        with Zkue("///here" + self.src, self.mnt, options="rw", cwd=self.tmp):
            with open(os.path.join(self.mnt, "f")) as f:
                self.assertEqual(f.read(), "by session\n")


if __name__ == "__main__":
    unittest.main()
