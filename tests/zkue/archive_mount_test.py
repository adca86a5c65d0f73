#!/usr/bin/env python3
"""zkue serving archives through FUSE: zip archives with deflated and with
stored members and a 7z archive show the tree they were made from (names,
types, sizes, contents), read backwards, refuse writes; an ISO image either
mounts or, with a library that cannot read it, fails cleanly; a missing
archive, URLs of other schemes and memory URLs are never mounted as local
archives.

The archives are made here with Debian's zip, 7z and genisoimage from a tree
kept beside them. Every mount is taken down again, also when a check fails.
Needs root and /dev/fuse."""
import ctypes
import ctypes.util
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

from fuse_mount_test import ZKUE, Zkue, clean_env, force_unmount, fuse_usable, is_fuse_mounted, mountinfo_entry, run

BIG = 3 << 20


def text_bytes(n):
    """Compressible lines, so that zip really deflates them."""
    out, i = [], 0
    size = 0
    while size < n:
        line = b"line %d of the archive fixture\n" % (i * 2654435761 % 100000)
        out.append(line)
        size += len(line)
        i += 1
    return b"".join(out)[:n]


def make_tree(root):
    os.makedirs(os.path.join(root, "d1", "d2"))
    os.makedirs(os.path.join(root, "d1", "empty dir"))
    os.makedirs(os.path.join(root, "many"))
    files = {
        "a.txt": b"hello\n",
        "with blank.txt": b"blank\n",
        "h\u00e9llo \u00e9.txt": b"accent\n",
        "empty": b"",
        "d1/d2/big.txt": text_bytes(BIG),
        "d1/x.bin": bytes(range(256)) * 9,
    }
    # More entries than one kernel listing buffer holds.
    for i in range(300):
        files["many/entry number %04d with a long name.txt" % i] = b"%d\n" % i
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)


def tree_of(top):
    """{relative path: (type, size of files)} below top."""
    out = {}
    for d, dirs, files in os.walk(top):
        for n in dirs:
            out[os.path.relpath(os.path.join(d, n), top)] = ("d", 0)
        for n in files:
            p = os.path.join(d, n)
            out[os.path.relpath(p, top)] = ("f", os.lstat(p).st_size)
    return out


def physfs_version():
    lib = ctypes.CDLL(ctypes.util.find_library("physfs") or "libphysfs.so.1")
    v = (ctypes.c_ubyte * 3)()
    lib.PHYSFS_getLinkedVersion(v)
    return tuple(v)


def refused_port():
    """A bound socket that never listens: its loopback port refuses
    connections, and no other process can take it, while it is open."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    return s


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class ArchiveMount(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zkue_arc_")
        cls.src = os.path.join(cls.tmp, "src")
        make_tree(cls.src)
        cls.want = tree_of(cls.src)
        for cmd in (["zip", "-qr", "-9", "../t.zip", "."], ["zip", "-qr", "-0", "../S.ZIP", "."],
                    ["7z", "a", "-bd", "-bso0", "../t.7z", "."]):
            subprocess.run(cmd, cwd=cls.src, check=True, capture_output=True, timeout=120)
        r = run(["unzip", "-v", os.path.join(cls.tmp, "t.zip"), "d1/d2/big.txt"])
        assert "Defl" in r.stdout, r.stdout
        r = run(["unzip", "-v", os.path.join(cls.tmp, "S.ZIP"), "d1/d2/big.txt"])
        assert "Stored" in r.stdout, r.stdout

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.mnt = os.path.join(self.tmp, "mnt")
        force_unmount(self.mnt)

    def tearDown(self):
        force_unmount(self.mnt)

    def zkue(self, *args):
        """Runs zkue to its end (a mount that fails); (status, output)."""
        r = subprocess.run([ZKUE, "-q"] + list(args), capture_output=True, text=True, timeout=60, env=clean_env(),
                           cwd=self.tmp)
        return r.returncode, r.stdout + r.stderr

    def check_tree(self):
        m = self.mnt
        self.assertEqual(tree_of(m), self.want)
        for p, (t, _) in self.want.items():
            if t == "f":
                with open(os.path.join(m, p), "rb") as a, open(os.path.join(self.src, p), "rb") as b:
                    self.assertEqual(a.read(), b.read(), p)
        r = run(["ls", "-laR", m])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("h\u00e9llo \u00e9.txt", r.stdout)
        self.assertIn("entry number 0299 with a long name.txt", r.stdout)
        r = run(["find", m, "-printf", "%P %y\n"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(r.stdout.splitlines()),
                         sorted(["%s %s" % (p, t) for p, (t, _) in self.want.items()] + [" d"]))
        r = run(["stat", "-c", "%A %s %h", os.path.join(m, "d1/d2/big.txt"), os.path.join(m, "d1")])
        self.assertEqual(r.stdout.splitlines(), ["-r--r--r-- %d 1" % BIG, "dr-xr-xr-x 0 2"])
        # A listing read again from its start (rewinddir) gives it all again.
        fd = os.open(os.path.join(m, "many"), os.O_RDONLY | os.O_DIRECTORY)
        try:
            first = sorted(os.listdir(fd))
            self.assertEqual(len(first), 300)
            self.assertEqual(sorted(os.listdir(fd)), first)
        finally:
            os.close(fd)

    def check_refusals(self):
        m = self.mnt
        r = run(["cat", os.path.join(m, "missing")])
        self.assertIn("No such file or directory", r.stderr)
        for cmd in (["touch", os.path.join(m, "new")], ["sh", "-c", "echo x > '%s'" % os.path.join(m, "a.txt")],
                    ["mkdir", os.path.join(m, "dir")], ["rm", "-f", os.path.join(m, "a.txt")]):
            r = run(cmd)
            self.assertNotEqual(r.returncode, 0, cmd)
            self.assertIn("Read-only file system", r.stderr, cmd)
        with open(os.path.join(m, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"hello\n")

    def check_backwards(self):
        """dd with a later skip, then an earlier one, each a fresh open."""
        big = os.path.join(self.mnt, "d1/d2/big.txt")
        with open(os.path.join(self.src, "d1/d2/big.txt"), "rb") as f:
            data = f.read()
        for skip in (40, 3, 0):
            r = subprocess.run(["dd", "if=" + big, "bs=64K", "skip=%d" % skip, "count=4", "status=none"],
                               capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, data[skip * 65536:(skip + 4) * 65536], skip)

    def test_zip_and_7z_serve_the_tree_read_only(self):
        for name in ("t.zip", "S.ZIP", "t.7z"):
            with self.subTest(archive=name):
                with Zkue(os.path.join(self.tmp, name), self.mnt, options=None):
                    self.assertIn("ro", mountinfo_entry(self.mnt)[1].split(","))
                    self.check_tree()
                    self.check_backwards()
                    self.check_refusals()

    def test_rw_is_forced_read_only_with_a_warning(self):
        with Zkue(os.path.join(self.tmp, "t.zip"), self.mnt, options="rw") as z:
            self.assertIn("ro", mountinfo_entry(self.mnt)[1].split(","))
            r = run(["touch", os.path.join(self.mnt, "new")])
            self.assertIn("Read-only file system", r.stderr)
            self.assertIn("VFS read-only Forced to read-only mount", z.output())
            self.assertEqual(z.unmount(), 0)

    def test_iso_image(self):
        iso = os.path.join(self.tmp, "t.iso")
        subprocess.run(["genisoimage", "-quiet", "-J", "-o", iso, self.src], check=True, capture_output=True,
                       timeout=120)
        if physfs_version()[:2] == (3, 0):
            # This library reads no image genisoimage makes.
            status, out = self.zkue("-u", iso, "-m", self.mnt)
            self.assertEqual(status, 255, out)
            self.assertIn("corrupted", out)
            self.assertFalse(is_fuse_mounted(self.mnt))
            return
        with Zkue(iso, self.mnt, options=None):
            names = set(tree_of(self.mnt))
            self.assertIn("a.txt", names)
            with open(os.path.join(self.mnt, "d1/d2/big.txt"), "rb") as f:
                self.assertEqual(len(f.read()), BIG)

    def test_missing_archive(self):
        status, out = self.zkue("-u", "/nonexistent.zip", "-m", self.mnt)
        self.assertEqual(status, 255, out)
        self.assertIn("not found", out)
        self.assertFalse(is_fuse_mounted(self.mnt))

    def test_other_schemes_never_mount_the_local_file(self):
        local = os.path.join(self.tmp, "t.zip")
        held = refused_port()
        self.addCleanup(held.close)
        port = held.getsockname()[1]
        for url, extra in (("zkp://127.0.0.1:%d%s" % (port, local), []),
                           ("zkp://127.0.0.1:%d%s" % (port, local), ["-r", "mount_fs=physfs"]),
                           ("ftp://127.0.0.1:%d%s" % (port, local), [])):
            with self.subTest(url=url, extra=extra):
                status, out = self.zkue("-u", url, "-m", self.mnt, *extra)
                self.assertNotEqual(status, 0, out)
                self.assertNotIn("physfs", out)
                self.assertFalse(is_fuse_mounted(self.mnt))

    def test_memory_urls_are_refused(self):
        for extra in ([], ["-r", "mount_fs=physfs"]):
            with self.subTest(extra=extra):
                status, out = self.zkue("-u", "mem://0x1000_20", "-m", self.mnt, *extra)
                self.assertNotEqual(status, 0, out)
                self.assertIn("refused: a memory archive (mem://)", out)
                self.assertFalse(is_fuse_mounted(self.mnt))


if __name__ == "__main__":
    unittest.main()
