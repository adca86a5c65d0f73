#!/usr/bin/env python3
"""A local mount with allow_other, tried as an unprivileged user (uid 65534
through setpriv) would try it: names that look like escapes, links swapped
in while the daemon works, paths longer than the source's own path leaves
room for, ownership of what the user creates, and a user holding hundreds
of files open. Nothing outside the source may change, and the user may do
through the mount only what it could do on the source directly.

Every mount is taken down again, also when a check fails. Needs root,
/dev/fuse and setpriv."""
import hashlib
import mmap
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import MountedSource, Zkue, force_unmount, fuse_usable  # noqa: E402

NOBODY = 65534
# Debian's own interpreter: the user running the tests may keep its python3
# where uid 65534 cannot reach.
PY = "/usr/bin/python3"


def usable():
    return fuse_usable() and shutil.which("setpriv") is not None and os.access(PY, os.X_OK)


def as_user(script, *args, uid=NOBODY, groups=None, timeout=120, wait=True):
    """Runs a python3 script as uid (group uid, no other groups unless given)."""
    cmd = ["setpriv", "--reuid", str(uid), "--regid", str(uid)]
    cmd += ["--groups", ",".join(map(str, groups))] if groups else ["--clear-groups"]
    cmd += [PY, "-c", textwrap.dedent(script)] + [str(a) for a in args]
    if not wait:
        return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def tree_digest(top, skip):
    """Names, modes, owners and contents of everything under top but skip."""
    h = hashlib.sha256()
    for root, dirs, files in os.walk(top):
        dirs[:] = sorted(d for d in dirs if os.path.join(root, d) not in skip)
        for n in sorted(dirs + files):
            p = os.path.join(root, n)
            st = os.lstat(p)
            h.update(("%s %o %d %d %d\n" % (p, st.st_mode, st.st_uid, st.st_gid, st.st_size)).encode())
            if stat.S_ISREG(st.st_mode):
                with open(p, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


@unittest.skipUnless(usable(), "needs root, /dev/fuse and setpriv")
class LocalSecurity(MountedSource):
    prefix = "zkue_sec_"
    options = "rw,allow_other"
    level = "err"
    # The source sits under a directory of 100 bytes.
    source = os.path.join("d" * 100, "src")
    # The daemon's log lives beside the tree that must not change.
    run_in = "run"

    @classmethod
    def prepare(cls):
        os.chmod(cls.tmp, 0o755)
        cls.deep = os.path.dirname(cls.src)
        os.chmod(cls.deep, 0o755)
        # Root's files outside the source, where the old escapes landed.
        for p in (os.path.join(cls.tmp, "victim"), os.path.join(cls.deep, "victim")):
            with open(p, "w") as f:
                f.write("secret\n")
            os.chmod(p, 0o600)

    def outside(self):
        return tree_digest(self.tmp, {self.src, self.mnt, self.run_dir})

    def user_dir(self, name, mode=0o755, owner=NOBODY, group=None):
        p = os.path.join(self.src, name)
        os.mkdir(p)
        os.chown(p, owner, owner if group is None else group)
        os.chmod(p, mode)
        return p

    # ---- names -------------------------------------------------------------------------------

    def test_escape_looking_names_are_plain_entries(self):
        self.user_dir("pub")
        before = self.outside()
        names = ["..\\..\\victim", "..\\..\\..\\victim", "a\\b", "file:", "file:\\\\?\\x", "?", "%2e%2e", "..%2f.."]
        r = as_user("""
            import os, sys
            d = sys.argv[1]
            for n in sys.argv[2:]:
                with open(os.path.join(d, n), "w") as f:
                    f.write("x")
            os.rename(os.path.join(d, "a\\\\b"), os.path.join(d, "..\\\\..\\\\secret"))
            fd = os.open(os.path.join(d, "..\\\\..\\\\secret"), os.O_RDWR)
            os.write(fd, b"y")
            os.close(fd)
            print(sorted(os.listdir(d)))
        """, os.path.join(self.mnt, "pub"), *names)
        self.assertEqual(r.returncode, 0, r.stderr)
        want = sorted(n for n in names if n != "a\\b") + ["..\\..\\secret"]
        self.assertEqual(sorted(os.listdir(os.path.join(self.src, "pub"))), sorted(want))
        with open(os.path.join(self.src, "pub", "..\\..\\secret")) as f:
            self.assertEqual(f.read(), "y")
        self.assertEqual(self.outside(), before)
        with open(os.path.join(self.deep, "victim")) as f:
            self.assertEqual(f.read(), "secret\n")

    # ---- links swapped in ------------------------------------------------------------------

    def test_link_swap_race_never_reaches_outside(self):
        race = self.user_dir("race")
        victim = os.path.join(self.tmp, "victim")
        # Open to all, but in a directory only root may enter.
        hidden = os.path.join(self.tmp, "hidden")
        os.mkdir(hidden, 0o700)
        with open(os.path.join(hidden, "f"), "w") as f:
            f.write("secret\n")
        os.chmod(os.path.join(hidden, "f"), 0o666)
        before = self.outside()
        # The user, on the source itself, keeps exchanging its file with a
        # link to root's file, and its directory with a link to root's
        # directory; through the mount it opens, writes, chmods, reads and
        # removes the file and the file in the directory.
        swapper = as_user("""
            import ctypes, os, sys
            libc = ctypes.CDLL(None, use_errno=True)
            d = os.open(sys.argv[1], os.O_PATH | os.O_DIRECTORY)
            RENAME_EXCHANGE = 2
            def ensure():
                for name, make in (("f", lambda: os.close(os.open("f", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=d))),
                                   ("l", lambda: os.symlink(sys.argv[2], "l", dir_fd=d)),
                                   ("sub", lambda: os.mkdir("sub", 0o755, dir_fd=d)),
                                   ("lsub", lambda: os.symlink(sys.argv[3], "lsub", dir_fd=d))):
                    try:
                        os.lstat(name, dir_fd=d)
                    except FileNotFoundError:
                        make()
            ensure()
            print("ready", flush=True)
            while not os.path.exists(sys.argv[4]):
                if libc.renameat2(d, b"f", d, b"l", RENAME_EXCHANGE) != 0:
                    ensure()
                if libc.renameat2(d, b"sub", d, b"lsub", RENAME_EXCHANGE) != 0:
                    ensure()
        """, race, victim, hidden, os.path.join(race, "stop"), wait=False)
        try:
            self.assertEqual(swapper.stdout.readline().strip(), "ready")
            r = as_user("""
                import os, sys
                leaked = 0
                for i in range(1500):
                    for m in (os.path.join(sys.argv[1], "f"), os.path.join(sys.argv[1], "sub", "f")):
                        for act in range(4):
                            try:
                                if act == 0:
                                    fd = os.open(m, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
                                    os.write(fd, b"A")
                                    os.close(fd)
                                elif act == 1:
                                    os.chmod(m, 0o644 if i % 2 else 0o640)
                                elif act == 2:
                                    with open(m, "rb") as f:
                                        leaked += b"secret" in f.read()
                                elif i % 5 == 0:
                                    os.unlink(m)
                            except OSError:
                                pass
                print(leaked)
            """, os.path.join(self.mnt, "race"))
        finally:
            open(os.path.join(race, "stop"), "w").close()
            try:
                swapper.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                swapper.kill()
                swapper.communicate()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), "0")
        for p, mode in ((victim, 0o600), (os.path.join(hidden, "f"), 0o666)):
            st = os.stat(p)
            self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid), (mode, 0), p)
            with open(p) as f:
                self.assertEqual(f.read(), "secret\n", p)
        self.assertEqual(self.outside(), before)

    # ---- long paths ---------------------------------------------------------------------------

    def test_path_of_4090_bytes_below_the_mount_point(self):
        # 16 names of 250 bytes and a last one make 4090 bytes after the mount
        # point; the source's own path adds more than 100 to it.
        names = [("%02d" % i) + "n" * 248 for i in range(16)]
        last = "f" * (4090 - sum(len(n) + 1 for n in names) - 1)
        self.assertEqual(sum(len(n) + 1 for n in names) + 1 + len(last), 4090)
        fd = os.open(self.mnt, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for n in names:
                os.mkdir(n, dir_fd=fd)
                nfd = os.open(n, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = nfd
            wfd = os.open(last, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
            os.write(wfd, b"deep")
            os.close(wfd)
            self.assertEqual(os.stat(last, dir_fd=fd).st_size, 4)
            self.assertEqual(os.listdir(fd), [last])
            os.rename(last, last[:-1] + "g", src_dir_fd=fd, dst_dir_fd=fd)
            self.assertEqual(os.listdir(fd), [last[:-1] + "g"])
            with open(os.open(last[:-1] + "g", os.O_RDONLY, dir_fd=fd), "rb") as f:
                self.assertEqual(f.read(), b"deep")
            os.unlink(last[:-1] + "g", dir_fd=fd)
            self.assertEqual(os.listdir(fd), [])
        finally:
            os.close(fd)
        shutil.rmtree(os.path.join(self.src, names[0]))

    # ---- ownership ----------------------------------------------------------------------------

    def test_what_a_user_creates_is_its_own(self):
        pub = self.user_dir("own", mode=0o777, owner=0)
        self.user_dir("sticky", mode=0o1777, owner=0)
        self.user_dir("sgid", mode=0o2777, owner=0, group=4321)
        r = as_user("""
            import os, stat, sys
            os.chdir(os.path.join(sys.argv[1], "own"))
            with open("f", "w") as f:
                f.write("a")
            os.mkdir("d", 0o755)
            os.mknod("n", stat.S_IFREG | 0o644)
            os.mkfifo("p", 0o600)
            os.symlink("f", "l")
            # Then, as on a local disk: append to it, chmod it, create inside
            # the new directory, remove from a sticky directory.
            with open("f", "a") as f:
                f.write("b")
            os.chmod("f", 0o600)
            open("d/inner", "w").close()
            open("../sticky/s", "w").close()
            os.unlink("../sticky/s")
            open("../sgid/g", "w").close()
            os.mkdir("../sgid/gd")
            os.close(os.open("../sgid/setgid", os.O_CREAT | os.O_WRONLY, 0o2755))
            os.close(os.open("suid", os.O_CREAT | os.O_WRONLY, 0o4755))
        """, self.mnt)
        self.assertEqual(r.returncode, 0, r.stderr)
        S = lambda *p: os.path.join(self.src, *p)
        for p in ("own/f", "own/d", "own/n", "own/p", "own/l", "own/d/inner", "own/suid"):
            st = os.lstat(S(p))
            self.assertEqual((st.st_uid, st.st_gid), (NOBODY, NOBODY), p)
        with open(S("own/f")) as f:
            self.assertEqual(f.read(), "ab")
        modes = {"own/f": 0o100600, "own/d": 0o40755, "own/p": 0o10600, "own/suid": 0o104755}
        for p, mode in modes.items():
            self.assertEqual(os.lstat(S(p)).st_mode, mode, p)
        self.assertFalse(os.path.exists(S("sticky/s")))
        # A set-group-id directory gives its group, and its bit to directories;
        # the user is not in that group, so its own set-group-id file loses it.
        for p in ("sgid/g", "sgid/gd", "sgid/setgid"):
            st = os.lstat(S(p))
            self.assertEqual((st.st_uid, st.st_gid), (NOBODY, 4321), p)
        self.assertTrue(os.lstat(S("sgid/gd")).st_mode & stat.S_ISGID)
        self.assertEqual(stat.S_IMODE(os.lstat(S("sgid/setgid")).st_mode), 0o755)
        # A member of the group keeps it.
        r = as_user("""
            import os, sys
            os.close(os.open(os.path.join(sys.argv[1], "sgid", "member"), os.O_CREAT | os.O_WRONLY, 0o2755))
        """, self.mnt, groups=[4321])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(stat.S_IMODE(os.lstat(S("sgid/member")).st_mode), 0o2755)
        # Root's own creations stay root's.
        with open(os.path.join(self.mnt, "own", "rootfile"), "w"):
            pass
        self.assertEqual(os.lstat(S("own/rootfile")).st_uid, 0)
        shutil.rmtree(pub)

    def test_set_user_id_file_is_never_root_owned(self):
        self.user_dir("suid")
        # Watch the name while the user creates it: no look may find a
        # set-id file of root's. One stat is not atomic (the kernel reads the
        # owner and the mode without the inode's lock), so a look that races
        # the give-away can pair the owner from before the chown with the
        # mode from after the chmod; each inode passes those two points once,
        # so a second look at the same inode tells such a torn look from a
        # file that really is root's.
        watcher = subprocess.Popen([PY, "-c", textwrap.dedent("""
            import os, stat, sys
            p = sys.argv[1]
            bad = mine = 0
            suspect = lambda st: st.st_uid == 0 and st.st_mode & (stat.S_ISUID | stat.S_ISGID)
            print("ready", flush=True)
            while not os.path.exists(sys.argv[2]):
                try:
                    st = os.lstat(p)
                    if suspect(st):
                        again = os.lstat(p)
                        bad += again.st_ino == st.st_ino and bool(suspect(again))
                    elif st.st_uid != 0 and st.st_mode & stat.S_ISUID:
                        mine += 1
                except FileNotFoundError:
                    continue
            print(bad, mine)
        """), os.path.join(self.src, "suid", "x"), os.path.join(self.src, "suid", "done")],
            stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(watcher.stdout.readline().strip(), "ready")
            r = as_user("""
                import os, sys
                p = os.path.join(sys.argv[1], "x")
                for i in range(300):
                    os.close(os.open(p, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o6755))
                    os.unlink(p)
            """, os.path.join(self.mnt, "suid"))
        finally:
            open(os.path.join(self.src, "suid", "done"), "w").close()
            out, _ = watcher.communicate(timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        bad, mine = map(int, out.split())
        self.assertEqual(bad, 0)
        # The watcher did see the user's set-id files come and go.
        self.assertGreater(mine, 0)


def vm(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


@unittest.skipUnless(usable(), "needs root, /dev/fuse and setpriv")
class LocalBudget(unittest.TestCase):
    """400 handles at once: caches take memory only as data comes and only
    within the process's budget; every byte still reaches the source."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zkue_rss_")
        self.src = os.path.join(self.tmp, "src")
        self.mnt = os.path.join(self.tmp, "mnt")
        os.mkdir(self.src)
        self.big = os.urandom(2 << 20)
        with open(os.path.join(self.src, "big"), "wb") as f:
            f.write(self.big)

    def tearDown(self):
        force_unmount(self.mnt)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_four_hundred_handles_stay_within_the_budget(self):
        with Zkue(self.src, self.mnt, options="rw", level="err", cwd=self.tmp) as z:
            pid = z.proc.pid
            base = vm(pid, "VmRSS")
            readers = []
            writers = []
            try:
                # Readers going on sequentially (past the kernel's page cache)
                # make their caches read ahead as far as they may.
                buf = mmap.mmap(-1, 128 << 10) # aligned, as O_DIRECT wants
                for i in range(200):
                    fd = os.open(os.path.join(self.mnt, "big"), os.O_RDONLY | os.O_DIRECT)
                    readers.append(fd)
                    for off in range(0, 3 << 19, 128 << 10):
                        self.assertEqual(os.preadv(fd, [buf], off), 128 << 10)
                        self.assertEqual(buf[:], self.big[off:off + (128 << 10)])
                # Writers holding small writes, while the readers keep theirs.
                for i in range(200):
                    fd = os.open(os.path.join(self.mnt, "w%03d" % i), os.O_WRONLY | os.O_CREAT, 0o644)
                    writers.append(fd)
                    for k in range(8):
                        os.write(fd, bytes([65 + i % 26]) * 4096)
                peak = vm(pid, "VmHWM")
            finally:
                for fd in readers + writers:
                    os.close(fd)
            for i in range(200):
                with open(os.path.join(self.src, "w%03d" % i), "rb") as f:
                    self.assertEqual(f.read(), bytes([65 + i % 26]) * (8 * 4096), i)
            # The budget (64 MiB) plus a small constant; without it the read
            # caches alone would take 200 MiB.
            self.assertLess(peak - base, (64 + 16) << 20, "peak %d MiB over a base of %d MiB" % (
                (peak - base) >> 20, base >> 20))


if __name__ == "__main__":
    unittest.main()
