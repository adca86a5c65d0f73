#!/usr/bin/env python3
"""A local mount under everyday load: several processes appending records to
one file, a source that is full while another process holds unwritten
data, and listings whose entries keep the inode numbers and types the
directory gave.

Every mount (the FUSE mount and the small tmpfs source) is taken down again,
also when a check fails. Needs root and /dev/fuse."""
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

from fuse_mount_test import Zkue, force_unmount, fuse_usable

APPENDER = """
import os, sys
path, who, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
for seq in range(count):
    head = b"<%d:%06d:" % (who, seq)
    body = bytes([65 + who]) * (size - len(head) - 1)
    rec = head + body + b">"
    if os.write(fd, rec) != len(rec):
        sys.exit("short write")
    # Where the kernel put it: the file position ends right after it.
    print(os.lseek(fd, 0, os.SEEK_CUR) - len(rec), who, seq, flush=True)
os.close(fd)
"""


def records(data, size):
    """The records of data, each checked whole: (writer, seq) pairs."""
    out = []
    for off in range(0, len(data), size):
        rec = data[off:off + size]
        assert rec[:1] == b"<" and rec[-1:] == b">", "torn record at %d" % off
        who, seq, body = rec[1:-1].split(b":", 2)
        who = int(who)
        assert body == bytes([65 + who]) * len(body), "mixed record at %d" % off
        out.append((who, int(seq)))
    return out


@unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
class LocalAppend(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_app_")
        self.src = os.path.join(self.tmp, "src")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.mkdir(self.src)

    def tearDown(self):
        force_unmount(self.mnt)
        subprocess.run(["umount", "-l", self.src], capture_output=True)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def appenders(self, path, writers, count, size):
        """Runs the writers at once; {offset: (writer, seq)} as the kernel placed them."""
        procs = [subprocess.Popen(["python3", "-c", APPENDER, path, str(w), str(count), str(size)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for w in range(writers)]
        placed = {}
        for p in procs:
            out, err = p.communicate(timeout=120)
            self.assertEqual(p.returncode, 0, err)
            for line in out.splitlines():
                off, who, seq = map(int, line.split())
                placed[off] = (who, seq)
        return placed

    def test_appended_records_land_whole(self):
        # Large records cross many write requests; small ones share a small
        # write cache, where held data once landed after later appends.
        # Sizes off the page size: the kernel's requests then start and end
        # within pages, so parts of a record fit a write cache.
        for query, size, count in ((None, 1536 * 1024 + 1000, 6), ("wcache_size=16k", 5 * 1024 + 7, 300)):
            with self.subTest(query=query, size=size), \
                    Zkue(self.src, self.mnt, options="rw", query=query, level="err", cwd=self.tmp):
                name = "log-%d" % size
                placed = self.appenders(os.path.join(self.mnt, name), 4, count, size)
                with open(os.path.join(self.src, name), "rb") as f:
                    data = f.read()
                self.assertEqual(len(data), 4 * count * size)
                got = records(data, size)
                self.assertEqual(sorted(got), sorted((w, s) for w in range(4) for s in range(count)))
                self.assertEqual(placed, {i * size: r for i, r in enumerate(got)})
                # Each writer's records in its own order.
                for w in range(4):
                    self.assertEqual([s for x, s in got if x == w], list(range(count)))

    def test_full_source_leaves_path_operations_free(self):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.src], check=True)
        with Zkue(self.src, self.mnt, options="rw", level="err", cwd=self.tmp):
            m = lambda *p: os.path.join(self.mnt, *p)
            filler = os.open(os.path.join(self.src, "filler"), os.O_WRONLY | os.O_CREAT, 0o644)
            try:
                while os.write(filler, b"\0" * 4096) == 4096:
                    pass
            except OSError:
                pass
            finally:
                os.close(filler)
            # A writer holds data the full source cannot take.
            fd = os.open(m("held"), os.O_WRONLY | os.O_CREAT, 0o644)
            try:
                for i in range(8):
                    os.write(fd, b"%d" % i * 4096)
                # Others look at it, list it, move it and make room.
                self.assertEqual(os.stat(m("held")).st_size, 0)
                r = subprocess.run(["ls", "-l", self.mnt], capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertNotIn("?", r.stdout)
                os.rename(m("held"), m("moved"))
                # The writer itself hears of it.
                with self.assertRaises(OSError) as cm:
                    os.fsync(fd)
                self.assertEqual(cm.exception.errno, 28)  # ENOSPC
                os.unlink(m("filler"))
                os.fsync(fd)
            finally:
                os.close(fd)
            with open(os.path.join(self.src, "moved"), "rb") as f:
                self.assertEqual(f.read(), b"".join(b"%d" % i * 4096 for i in range(8)))

    def test_listing_keeps_inode_numbers_and_types(self):
        os.mkdir(os.path.join(self.src, "d"))
        os.symlink("d", os.path.join(self.src, "l"))
        os.mkfifo(os.path.join(self.src, "p"))
        for i in range(200):
            open(os.path.join(self.src, "f%03d" % i), "w").close()
        with Zkue(self.src, self.mnt, options="rw", level="err", cwd=self.tmp):
            seen = {}
            with os.scandir(self.mnt) as it:
                for e in it:
                    seen[e.name] = (e.inode(), e.is_dir(follow_symlinks=False), e.is_symlink())
            want = {}
            with os.scandir(self.src) as it:
                for e in it:
                    want[e.name] = (e.inode(), e.is_dir(follow_symlinks=False), e.is_symlink())
            self.assertEqual(seen, want)
            r = subprocess.run(["find", self.mnt, "-mindepth", "1", "-printf", "%y %i %f\n"],
                               capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            s = subprocess.run(["find", self.src, "-mindepth", "1", "-printf", "%y %i %f\n"],
                               capture_output=True, text=True)
            self.assertEqual(sorted(r.stdout.splitlines()), sorted(s.stdout.splitlines()))


if __name__ == "__main__":
    unittest.main()
