#!/usr/bin/env python3
"""Every FUSE operation of zkue, through a read-write mount of a local
directory, checked with ordinary tools (coreutils, attr, python3) against
the source directory itself. Needs root and /dev/fuse."""
import ctypes
import ctypes.util
import errno
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import MountedSource, Zkue, force_unmount, fuse_usable, run, sh  # noqa: E402


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class FuseOps(MountedSource):
    prefix = "zkue_ops_"
    level = "verb"

    def setUp(self):
        # Each test works in a directory of its own.
        self.name = self.id().split(".")[-1]
        self.s = os.path.join(self.src, self.name)
        self.m = os.path.join(self.mnt, self.name)
        os.mkdir(self.s)

    def S(self, *p):
        return os.path.join(self.s, *p)

    def M(self, *p):
        return os.path.join(self.m, *p)

    def assertSameStat(self, mpath, spath, times=True):
        a, b = os.lstat(mpath), os.lstat(spath)
        fields = ["st_mode", "st_uid", "st_gid", "st_size", "st_ino", "st_nlink"]
        if times:
            fields += ["st_mtime_ns", "st_atime_ns"]
        for f in fields:
            self.assertEqual(getattr(a, f), getattr(b, f), "%s of %s" % (f, mpath))

    # ---- listing and stat ---------------------------------------------------------

    def test_listing_and_stat_match_the_source(self):
        with open(self.S("file"), "w") as f:
            f.write("x" * 1000)
        os.mkdir(self.S("dir"))
        os.symlink("file", self.S("link"))
        os.mkfifo(self.S("fifo"))
        os.chmod(self.S("file"), 0o640)
        os.chown(self.S("dir"), 1234, 5678)
        os.utime(self.S("file"), ns=(1_000_000_123, 2_000_000_456))
        ls = "ls -la --time-style=full-iso %s | grep -v ' \\.\\.$'"
        self.assertEqual(sh(ls % self.m).stdout, sh(ls % self.s).stdout)
        for n in ("file", "dir", "link", "fifo"):
            self.assertSameStat(self.M(n), self.S(n))
        fmt = "stat -c '%n %a %u %g %s %Y %y %i %h %F' "
        for n in ("file", "dir", "link"):
            got = sh("cd %s && " % self.m + fmt + n).stdout
            self.assertEqual(got, sh("cd %s && " % self.s + fmt + n).stdout)
        # use_ino: the mount shows the source's inode numbers.
        self.assertEqual(os.stat(self.M("file")).st_ino, os.stat(self.S("file")).st_ino)

    def test_trees_compare_equal_with_diff(self):
        # A tree made on the source, seen through the mount; and one copied
        # in through the mount (cp -a: data, modes, owners, times, links).
        tree = os.path.join(os.environ.get("ZK_SOURCE_DIR", os.path.dirname(os.path.abspath(__file__))), "tests")
        r = run(["cp", "-a", tree, self.S("a")])
        self.assertEqual(r.returncode, 0, r.stderr)
        os.symlink("fuse2", self.S("a", "link"))
        with open(self.S("a", "big"), "wb") as f:
            f.write(os.urandom(3 * 1024 * 1024 + 7))
        r = run(["diff", "-r", "--no-dereference", self.M("a"), self.S("a")])
        self.assertEqual((r.returncode, r.stdout), (0, ""), r.stderr)
        r = run(["cp", "-a", self.S("a"), self.M("b")])
        self.assertEqual(r.returncode, 0, r.stderr)
        r = run(["diff", "-r", "--no-dereference", self.S("b"), self.S("a")])
        self.assertEqual((r.returncode, r.stdout), (0, ""), r.stderr)
        ls = "cd %s && ls -lRan --time-style=full-iso | grep -v ' \\.\\.$'"
        self.assertEqual(sh(ls % self.S("b")).stdout, sh(ls % self.S("a")).stdout)

    def test_missing_name_is_enoent_and_not_an_error_line(self):
        with self.assertRaises(FileNotFoundError):
            os.stat(self.M("missing"))
        r = run(["stat", self.M("missing")])
        self.assertIn("No such file or directory", r.stderr)
        out = self.z.output()
        line = [l for l in out.splitlines() if "xmp_getattr" in l and "/missing]" in l]
        self.assertTrue(line, "a line for the lookup")
        self.assertTrue(all("\x1b[01;31m" not in l for l in line), line)

    def test_big_listing_spans_several_kernel_buffers(self):
        names = sorted("entry-%05d-%s" % (i, "n" * 40) for i in range(3000))
        for n in names:
            open(self.S(n), "w").close()
        self.assertEqual(sorted(os.listdir(self.m)), names)
        self.assertEqual(sh("ls -1 %s | wc -l" % self.m).stdout.strip(), "3000")
        # A rewind part-way restarts the listing from the first entry.
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        libc.opendir.restype = ctypes.c_void_p
        libc.readdir.restype = ctypes.c_void_p
        libc.readdir.argtypes = [ctypes.c_void_p]
        libc.rewinddir.argtypes = [ctypes.c_void_p]
        libc.closedir.argtypes = [ctypes.c_void_p]
        d = libc.opendir(self.m.encode())
        self.assertTrue(d)
        try:
            first = [libc.readdir(d) for _ in range(1500)]
            self.assertTrue(all(first))
            libc.rewinddir(d)
            count = 0
            while libc.readdir(d):
                count += 1
            self.assertEqual(count, 3002)  # with "." and ".."
        finally:
            libc.closedir(d)

    # ---- data ------------------------------------------------------------------------

    def test_multi_mebibyte_files_read_and_write(self):
        data = os.urandom(5 * 1024 * 1024 + 123)
        with open(self.S("in"), "wb") as f:
            f.write(data)
        self.assertEqual(run(["cmp", self.M("in"), self.S("in")]).returncode, 0)
        with open(self.M("in"), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(data).digest())
        r = run(["dd", "if=" + self.S("in"), "of=" + self.M("out"), "bs=1M", "conv=fsync"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(run(["cmp", self.M("out"), self.S("in")]).returncode, 0)
        self.assertEqual(run(["cmp", self.S("out"), self.S("in")]).returncode, 0)
        # Positioned writes out of order through a read-write handle.
        with open(self.M("rw"), "wb+") as f:
            f.write(b"\0" * 10000)
            f.seek(5000)
            f.write(b"middle")
            f.seek(0)
            f.write(b"head")
            f.seek(4998)
            self.assertEqual(f.read(10), b"\0\0middle\0\0")
        with open(self.S("rw"), "rb") as f:
            got = f.read()
        self.assertEqual(len(got), 10000)
        self.assertEqual(got[:4], b"head")
        self.assertEqual(got[5000:5006], b"middle")

    def test_outside_change_of_the_same_size_is_read_after_reopening(self):
        with open(self.S("f"), "w") as f:
            f.write("old content\n")
        with open(self.M("f")) as f:
            self.assertEqual(f.read(), "old content\n")
        st = os.stat(self.S("f"))
        with open(self.S("f"), "r+") as f:
            f.write("new content\n")
        # A later modification time, as a later change has (the kernel's
        # clock may give the same one within one of its ticks).
        os.utime(self.S("f"), ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
        with open(self.M("f")) as f:
            self.assertEqual(f.read(), "new content\n")

    def test_large_writes_arrive_in_128_kib_requests(self):
        fd = os.open(self.M("big"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            self.assertEqual(os.write(fd, os.urandom(1 << 20)), 1 << 20)
        finally:
            os.close(fd)
        self.assertEqual(os.stat(self.S("big")).st_size, 1 << 20)
        lens = re.findall(r"path=/%s/big off=\d+ len=(\d+)x ret=" % self.name, self.z.output())
        self.assertEqual(lens, ["131072"] * 8)

    def test_append_and_truncate(self):
        with open(self.M("a"), "w") as f:
            f.write("one\n")
        with open(self.M("a"), "a") as f:
            f.write("two\n")
        with open(self.S("a")) as f:
            self.assertEqual(f.read(), "one\ntwo\n")
        self.assertEqual(run(["truncate", "-s", "3", self.M("a")]).returncode, 0)
        self.assertEqual(os.stat(self.S("a")).st_size, 3)
        self.assertEqual(run(["truncate", "-s", "1M", self.M("a")]).returncode, 0)
        self.assertEqual(os.stat(self.S("a")).st_size, 1 << 20)
        # ftruncate of a write-only handle whose writes are still held: the
        # writes land first, then the truncation.
        fd = os.open(self.M("held"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            os.write(fd, b"0123456789")
            os.ftruncate(fd, 4)
            self.assertEqual(os.fstat(fd).st_size, 4)
        finally:
            os.close(fd)
        with open(self.S("held"), "rb") as f:
            self.assertEqual(f.read(), b"0123")

    def test_open_flags_reach_the_source_in_portable_form(self):
        sh("echo hi > %s" % self.M("f"))
        with open(self.M("f")) as f:
            f.read()
        with open(self.M("f"), "r+") as f:
            f.read()
        fd = os.open(self.M("f"), os.O_WRONLY | os.O_APPEND)
        os.write(fd, b"more\n")
        os.close(fd)
        with open(self.S("f")) as f:
            self.assertEqual(f.read(), "hi\nmore\n")
        out = self.z.output()
        p = "/%s/f" % self.name
        # create, read-only, read-write, write-only|append
        for pflag in ("0x15", "0x0", "0x2", "0x9"):
            self.assertRegex(out, r"path=%s flag=0x[0-9a-f]+ pflag=%s time=\[N/A\] eno=0 \[ok\]" % (p, pflag))
        # The kernel's large-file bit never reaches the portable flags.
        self.assertNotIn("pflag=0x80", out)

    # ---- names -----------------------------------------------------------------------

    def test_directories_renames_and_links(self):
        os.mkdir(self.M("d"))
        self.assertTrue(os.path.isdir(self.S("d")))
        with open(self.M("d/f"), "w") as f:
            f.write("x")
        r = run(["rmdir", self.M("d")])
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("Directory not empty", r.stderr)
        self.assertEqual(run(["mv", self.M("d/f"), self.M("g")]).returncode, 0)
        self.assertTrue(os.path.exists(self.S("g")))
        self.assertFalse(os.path.exists(self.S("d/f")))
        self.assertEqual(run(["rmdir", self.M("d")]).returncode, 0)
        self.assertFalse(os.path.exists(self.S("d")))
        # rename over an existing file replaces it
        with open(self.M("h"), "w") as f:
            f.write("old")
        os.rename(self.M("g"), self.M("h"))
        with open(self.S("h")) as f:
            self.assertEqual(f.read(), "x")
        # symbolic and hard links
        self.assertEqual(run(["ln", "-s", "t", self.M("l")]).returncode, 0)
        self.assertEqual(run(["readlink", self.M("l")]).stdout, "t\n")
        self.assertEqual(os.readlink(self.S("l")), "t")
        self.assertEqual(run(["ln", self.M("h"), self.M("hard")]).returncode, 0)
        self.assertEqual(os.stat(self.S("hard")).st_ino, os.stat(self.S("h")).st_ino)
        self.assertEqual(os.stat(self.M("hard")).st_nlink, 2)
        os.unlink(self.M("hard"))
        self.assertFalse(os.path.exists(self.S("hard")))
        self.assertEqual(os.stat(self.S("h")).st_nlink, 1)

    def test_attributes_modes_owners_times(self):
        with open(self.M("f"), "w") as f:
            f.write("x")
        self.assertEqual(run(["chmod", "0751", self.M("f")]).returncode, 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.S("f")).st_mode), 0o751)
        self.assertEqual(run(["chown", "1234:4321", self.M("f")]).returncode, 0)
        st = os.stat(self.S("f"))
        self.assertEqual((st.st_uid, st.st_gid), (1234, 4321))
        # chown of a link changes the link, not its target
        os.symlink("f", self.S("l"))
        self.assertEqual(run(["chown", "-h", "77:88", self.M("l")]).returncode, 0)
        self.assertEqual((os.lstat(self.S("l")).st_uid, os.stat(self.S("f")).st_uid), (77, 1234))
        self.assertEqual(run(["touch", "-d", "2001-02-03 04:05:06", self.M("f")]).returncode, 0)
        want = run(["date", "-d", "2001-02-03 04:05:06", "+%s"]).stdout.strip()
        self.assertEqual(run(["stat", "-c", "%Y %X", self.S("f")]).stdout.strip(), "%s %s" % (want, want))
        # One time alone: the other stays as it is.
        self.assertEqual(run(["touch", "-m", "-d", "2003-04-05 06:07:08", self.M("f")]).returncode, 0)
        mtime = run(["date", "-d", "2003-04-05 06:07:08", "+%s"]).stdout.strip()
        self.assertEqual(run(["stat", "-c", "%Y %X", self.S("f")]).stdout.strip(), "%s %s" % (mtime, want))
        self.assertEqual(run(["touch", "-a", "-d", "2004-05-06 07:08:09", self.M("f")]).returncode, 0)
        atime = run(["date", "-d", "2004-05-06 07:08:09", "+%s"]).stdout.strip()
        self.assertEqual(run(["stat", "-c", "%Y %X", self.S("f")]).stdout.strip(), "%s %s" % (mtime, atime))
        # touch without a date moves the times to now
        before = os.stat(self.S("f")).st_mtime
        self.assertEqual(run(["touch", self.M("f")]).returncode, 0)
        self.assertGreater(os.stat(self.S("f")).st_mtime, before + 1e6)
        self.assertSameStat(self.M("f"), self.S("f"))

    def test_creation_modes_are_the_requested_ones(self):
        for mask, fmode, dmode in ((0o002, 0o664, 0o775), (0o022, 0o644, 0o755), (0o077, 0o600, 0o700),
                                   (0o000, 0o666, 0o777)):
            r = sh("umask %03o; touch %s; mkdir %s; mkfifo %s" %
                   (mask, self.M("f%o" % mask), self.M("d%o" % mask), self.M("p%o" % mask)))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(stat.S_IMODE(os.stat(self.S("f%o" % mask)).st_mode), fmode, oct(mask))
            self.assertEqual(stat.S_IMODE(os.stat(self.S("d%o" % mask)).st_mode), dmode, oct(mask))
            self.assertEqual(stat.S_IMODE(os.stat(self.S("p%o" % mask)).st_mode), fmode, oct(mask))
            self.assertTrue(stat.S_ISFIFO(os.stat(self.S("p%o" % mask)).st_mode))
        # A set-group-id parent still passes its bit on to new directories.
        os.chmod(self.S(), 0o2775)
        self.assertEqual(sh("umask 002; mkdir %s" % self.M("sg")).returncode, 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.S("sg")).st_mode), 0o2775)
        os.chmod(self.S(), 0o755)

    def test_extended_attributes(self):
        with open(self.M("f"), "w") as f:
            f.write("x")
        r = run(["setfattr", "-n", "user.color", "-v", "blue", self.M("f")])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.getxattr(self.S("f"), "user.color"), b"blue")
        r = run(["getfattr", "--only-values", "-n", "user.color", self.M("f")])
        self.assertEqual(r.stdout, "blue")
        self.assertIn("user.color", os.listxattr(self.M("f")))
        # A missing attribute is "No data available", never an empty value.
        with self.assertRaises(OSError) as cm:
            os.getxattr(self.M("f"), "user.missing")
        self.assertEqual(cm.exception.errno, errno.ENODATA)
        r = run(["getfattr", "-n", "user.missing", self.M("f")])
        self.assertIn("No such attribute", r.stderr)
        # Too small a buffer is ERANGE, as on the source.
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        buf = ctypes.create_string_buffer(2)
        n = libc.getxattr(self.M("f").encode(), b"user.color", buf, ctypes.c_size_t(2))
        self.assertEqual((n, ctypes.get_errno()), (-1, errno.ERANGE))
        # Flags: create refuses an existing name, replace a missing one.
        with self.assertRaises(OSError) as cm:
            os.setxattr(self.M("f"), "user.color", b"red", os.XATTR_CREATE)
        self.assertEqual(cm.exception.errno, errno.EEXIST)
        with self.assertRaises(OSError) as cm:
            os.setxattr(self.M("f"), "user.none", b"red", os.XATTR_REPLACE)
        self.assertEqual(cm.exception.errno, errno.ENODATA)
        self.assertEqual(run(["setfattr", "-x", "user.color", self.M("f")]).returncode, 0)
        self.assertEqual(os.listxattr(self.S("f")), [])
        self.assertEqual(os.listxattr(self.M("f")), [])
        with self.assertRaises(FileNotFoundError):
            os.listxattr(self.M("nothing"))

    def test_statfs_matches_the_source(self):
        a, b = os.statvfs(self.m), os.statvfs(self.s)
        for f in ("f_bsize", "f_blocks", "f_files", "f_namemax"):
            self.assertEqual(getattr(a, f), getattr(b, f), f)
        r = run(["stat", "-f", "-c", "%S %b", self.m])
        self.assertEqual(r.stdout, run(["stat", "-f", "-c", "%S %b", self.s]).stdout)
        self.assertEqual(run(["df", self.m]).returncode, 0)

    def test_access_follows_the_source_modes(self):
        with open(self.M("f"), "w") as f:
            f.write("x")
        os.chmod(self.S("f"), 0o644)
        self.assertTrue(os.access(self.M("f"), os.R_OK | os.W_OK))
        self.assertFalse(os.access(self.M("f"), os.X_OK))
        self.assertFalse(os.access(self.M("nothing"), os.F_OK))


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
