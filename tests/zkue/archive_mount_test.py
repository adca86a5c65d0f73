#!/usr/bin/env python3
"""zkue serving archives through FUSE: zip archives with deflated and with
stored members and a 7z archive show the tree they were made from (names,
types, sizes, contents), read backwards, refuse writes; an ISO image either
mounts or, with a library that cannot read it, fails cleanly; a missing
archive, URLs of other schemes and memory URLs are never mounted as local
archives. Members the library cannot decode (bzip2 and LZMA in zip) give
EIO, never other bytes; a zip64 member over 4 GiB keeps its size and fails
with EIO where the library cannot reach; opening 7z members again and again
keeps the program's memory flat.

The archives are made here with Debian's zip, 7z and genisoimage from a tree
kept beside them. Every mount is taken down again, also when a check fails.
Needs root and /dev/fuse."""
import ctypes
import ctypes.util
import errno
import os
import shutil
import socket
import subprocess
import tempfile
import unittest
import zipfile

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
        # No extended attributes: none listed, and asking for one is not
        # supported (the first answer tells the kernel to stop asking).
        a = os.path.join(m, "a.txt")
        self.assertEqual(os.listxattr(a), [])
        for name in ("user.x", "security.selinux", "user.x"):
            with self.assertRaises(OSError) as c:
                os.getxattr(a, name)
            self.assertEqual(c.exception.errno, errno.EOPNOTSUPP, name)

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


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def read_or_errno(path, off=0, n=None):
    """The bytes from off (to the end, or n of them), or the errno of the
    failure."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError as e:
        return e.errno
    try:
        if n is not None:
            return os.pread(fd, n, off)
        os.lseek(fd, off, os.SEEK_SET)
        out = []
        while True:
            b = os.read(fd, 1 << 20)
            if not b:
                return b"".join(out)
            out.append(b)
    except OSError as e:
        return e.errno
    finally:
        os.close(fd)


class SparseWriter:
    """A write-only file whose all-zero writes become holes, so that an
    archive of a mostly empty member takes little disk."""

    def __init__(self, f):
        self.f = f

    def write(self, b):
        if b.count(0) == len(b):
            self.f.seek(len(b), os.SEEK_CUR)
            return len(b)
        return self.f.write(b)

    def __getattr__(self, name):
        return getattr(self.f, name)


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class ArchiveFaults(unittest.TestCase):
    """Archives the library reads only in part: what it cannot serve fails,
    what it serves is right."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_arcf_")
        self.mnt = os.path.join(self.tmp, "mnt")

    def tearDown(self):
        force_unmount(self.mnt)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_members_the_library_cannot_decode_give_eio(self):
        data = {"text": text_bytes(85000), "bytes": bytes(range(256)) * 333, "small": b"hi\n", "empty": b""}
        methods = {"stored": zipfile.ZIP_STORED, "deflated": zipfile.ZIP_DEFLATED, "bzip2": zipfile.ZIP_BZIP2,
                   "lzma": zipfile.ZIP_LZMA}
        py = os.path.join(self.tmp, "py.zip")
        with zipfile.ZipFile(py, "w") as z:
            for m, ct in methods.items():
                for n, b in data.items():
                    z.writestr(zipfile.ZipInfo("%s/%s" % (m, n)), b, compress_type=ct)
        src = os.path.join(self.tmp, "src")
        os.makedirs(src)
        for n, b in data.items():
            with open(os.path.join(src, n), "wb") as f:
                f.write(b)
        made = {"iz_defl.zip": ["zip", "-q", "-9", "../iz_defl.zip"], "iz_bzip2.zip": ["zip", "-q", "-Z", "bzip2",
                                                                                      "../iz_bzip2.zip"],
                "lzma2.7z": ["7z", "a", "-bd", "-bso0", "../lzma2.7z"],
                "bcj.7z": ["7z", "a", "-bd", "-bso0", "-m0=BCJ", "-m1=LZMA2", "../bcj.7z"]}
        for cmd in made.values():
            subprocess.run(cmd + list(data), cwd=src, check=True, capture_output=True, timeout=120)
        r = run(["unzip", "-v", os.path.join(self.tmp, "iz_bzip2.zip")])
        self.assertIn("BZip2", r.stdout)
        r = run(["7z", "l", "-slt", os.path.join(self.tmp, "bcj.7z")])
        self.assertIn("BCJ", r.stdout)
        archives = [py] + [os.path.join(self.tmp, a) for a in made]
        old_lib = physfs_version()[:2] == (3, 0)
        for archive in archives:
            # Whether the library decodes a member's method (zip tools store
            # what does not shrink, whatever they were asked).
            if archive.endswith(".zip"):
                with zipfile.ZipFile(archive) as z:
                    members = {i.filename: i.compress_type in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)
                               for i in z.infolist()}
            else:
                members = {n: True for n in data}
            # Twice: the answer is the same on every mount.
            for _ in range(2):
                with Zkue(archive, self.mnt, options=None):
                    for member, decodes in members.items():
                        want = data[os.path.basename(member)]
                        with self.subTest(archive=os.path.basename(archive), member=member):
                            p = os.path.join(self.mnt, member)
                            self.assertEqual(os.stat(p).st_size, len(want))
                            for off, cnt in ((0, None), (len(want) // 2, 100)):
                                got = read_or_errno(p, off, cnt)
                                expect = want[off:] if cnt is None else want[off:off + cnt]
                                if decodes or not want or not old_lib:
                                    # Right bytes, or a clean failure.
                                    self.assertIn(got, (expect, errno.EIO) if not decodes else (expect,))
                                else:
                                    self.assertEqual(got, errno.EIO)
                            if not decodes and want and old_lib:
                                r = run(["cat", p])
                                self.assertNotEqual(r.returncode, 0)
                                self.assertIn("Input/output error", r.stderr)

    def test_zip64_member_over_4_gib_is_never_cut_short(self):
        size = 4400000000  # 4.1 GiB
        if shutil.disk_usage(self.tmp).free < size + (1 << 30):
            self.skipTest("needs %d bytes free in %s in case the file system makes no holes" % (size + (1 << 30),
                                                                                                self.tmp))
        below = (1 << 32) - 8192  # a page that lies wholly below the library's limit
        marks = {0: b"HEAD", below: b"BELOW4G!", (1 << 32) + 4096: b"ABOVE4G!", size - 4: b"TAIL"}
        archive = os.path.join(self.tmp, "big.zip")
        chunk = 8 << 20
        zero = bytes(chunk)
        # A stored zip64 member written as it streams; its zeros stay holes.
        with open(archive, "wb") as raw:
            with zipfile.ZipFile(SparseWriter(raw), "w", zipfile.ZIP_STORED) as z:
                with z.open(zipfile.ZipInfo("big.bin"), "w", force_zip64=True) as w:
                    pos = 0
                    while pos < size:
                        n = min(chunk, size - pos)
                        hits = [(at, m) for at, m in marks.items() if pos <= at < pos + n]
                        if hits:
                            b = bytearray(n)
                            for at, m in hits:
                                b[at - pos:at - pos + len(m)] = m
                            w.write(b)
                        else:
                            w.write(zero[:n])
                        pos += n
                z.writestr("small.txt", b"small\n")
        r = run(["unzip", "-v", archive])
        self.assertIn(str(size), r.stdout)
        with Zkue(archive, self.mnt, options=None):
            p = os.path.join(self.mnt, "big.bin")
            self.assertEqual(os.stat(p).st_size, size)
            self.assertEqual(read_or_errno(p, 0, 4), b"HEAD")
            self.assertEqual(read_or_errno(p, below, 8), b"BELOW4G!")
            # Past 4 GiB: a failure, never bytes from elsewhere nor an end.
            for off in ((1 << 32) + 4096, size - 4, (1 << 32) - 4):
                self.assertEqual(read_or_errno(p, off, 8), errno.EIO, off)
            r = subprocess.run(["dd", "if=" + p, "of=/dev/null", "bs=1M", "skip=4000", "status=none"],
                               capture_output=True, text=True, timeout=120)
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("Input/output error", r.stderr)
            # The failures did not make the member look shorter.
            self.assertEqual(os.stat(p).st_size, size)
            # A member stored past 4 GiB of the archive: right, or refused.
            self.assertIn(read_or_errno(os.path.join(self.mnt, "small.txt")), (b"small\n", errno.EIO))

    def test_opening_7z_members_again_and_again_keeps_memory_flat(self):
        src = os.path.join(self.tmp, "src")
        os.makedirs(src)
        with open(os.path.join(src, "a.txt"), "wb") as f:
            f.write(text_bytes(128 << 10))
        with open(os.path.join(src, "b.txt"), "wb") as f:
            f.write(b"b\n")
        archive = os.path.join(self.tmp, "t.7z")
        subprocess.run(["7z", "a", "-bd", "-bso0", archive, "."], cwd=src, check=True, capture_output=True,
                       timeout=120)
        with Zkue(archive, self.mnt, options=None) as z:
            names = [os.path.join(self.mnt, n) for n in ("a.txt", "b.txt")]
            def opens(count):
                for i in range(count):
                    with open(names[i % 2], "rb") as f:
                        self.assertTrue(f.read(100))
            opens(200)
            before = rss_kib(z.proc.pid)
            # Each open left the member's bytes behind in the library: 10,000
            # opens would have grown the program by about 640 MiB.
            opens(10000)
            after = rss_kib(z.proc.pid)
            self.assertLess(after - before, 10 << 10, (before, after))
            with open(names[0], "rb") as f:
                self.assertEqual(f.read(), text_bytes(128 << 10))


if __name__ == "__main__":
    unittest.main()
