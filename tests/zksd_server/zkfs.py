"""The directory tree a zksd test server serves, confined beneath its root.

Every path a client sends is bytes, used byte for byte. It is resolved
component by component beneath the root as if the root were "/": ".." never
climbs above it, and a symbolic link met on the way is followed inside the
root (an absolute target starts again at the root), so no operation leaves
the tree through a link. The resolved host path holds no link except, for the
operations that do not follow one, in its last component; the operations then
act on that path without following links.

Failures raise ZkError with the platform status code of the errno (-102 for
a missing file, -113 for a write on a read-only server, and so on).
"""
import errno
import fnmatch
import os
import shutil
import stat as st_
import time

from zkwire import status_of_errno, status_text

MAX_PATH = 4096
MAX_LINKS = 40
UTIME_NOW = (1 << 30) - 1
UTIME_OMIT = (1 << 30) - 2
NO_ID = 0xFFFFFFFF  # uid or gid left as it is


class ZkError(Exception):
    """A request failure: status code (the reply's errno) and its text."""

    def __init__(self, code, text=None):
        super().__init__(code, text)
        self.code = code
        self.text = text if text is not None else status_text(code)


def from_oserror(e, what=b""):
    code = status_of_errno(e.errno) if e.errno else -1
    text = status_text(code)
    if what:
        text = "%s [%s]" % (text, what.decode("utf-8", "backslashreplace"))
    return ZkError(code, text)


def file_type(st, through_link=None):
    """The portable type word of a stat result: 1 directory, 2 anything else,
    0x100 added for a symbolic link (typed by its target when given)."""
    if st_.S_ISLNK(st.st_mode):
        return 0x100 | (1 if through_link is not None and st_.S_ISDIR(through_link.st_mode) else 2)
    return 1 if st_.S_ISDIR(st.st_mode) else 2


def split_ns(ns):
    return ns // 1000000000, ns % 1000000000


class Tree:
    def __init__(self, root, readonly=False):
        root = os.fsencode(os.path.realpath(root))
        self.root = root.rstrip(b"/") or b"/"
        self.readonly = readonly

    # -- paths ---------------------------------------------------------

    def host(self, virt_comps):
        if not virt_comps:
            return self.root
        return (self.root if self.root != b"/" else b"") + b"/" + b"/".join(virt_comps)

    def resolve(self, path, cwd=b"/", follow=True):
        """(host path, virtual path) of a client path. follow=False leaves a
        link in the last component as it is. A missing last component is
        allowed (the caller may create it); a missing or non-directory
        component before it fails."""
        if not isinstance(path, bytes):
            path = os.fsencode(path)
        if len(path) > MAX_PATH:
            raise ZkError(-120)
        if b"\0" in path:
            raise ZkError(-2, "path holds a NUL byte")
        if not path.startswith(b"/"):
            path = cwd.rstrip(b"/") + b"/" + path
        todo = [c for c in path.split(b"/") if c not in (b"", b".")]
        done = []
        links = 0
        while todo:
            c = todo.pop(0)
            if c == b"..":
                if done:
                    done.pop()
                continue
            here = self.host(done + [c])
            last = not todo
            try:
                s = os.lstat(here)
            except OSError as e:
                if last and e.errno == errno.ENOENT:
                    done.append(c)
                    break
                raise from_oserror(e, path)
            if st_.S_ISLNK(s.st_mode) and (follow or not last):
                links += 1
                if links > MAX_LINKS:
                    raise ZkError(-156)
                target = os.readlink(here)
                if target.startswith(b"/"):
                    done = []
                todo = [t for t in target.split(b"/") if t not in (b"", b".")] + todo
                continue
            if not last and not st_.S_ISDIR(s.st_mode):
                raise ZkError(-103, "%s [%s]" % (status_text(-103), path.decode("utf-8", "backslashreplace")))
            done.append(c)
        return self.host(done), b"/" + b"/".join(done)

    def writable(self):
        if self.readonly:
            raise ZkError(-113)

    # -- calls that answer ---------------------------------------------

    def stat(self, path, cwd=b"/", follow=True):
        host, _ = self.resolve(path, cwd, follow)
        try:
            return os.lstat(host)
        except OSError as e:
            raise from_oserror(e, path)

    def readlink(self, path, cwd=b"/"):
        host, _ = self.resolve(path, cwd, follow=False)
        try:
            return os.readlink(host)
        except OSError as e:
            raise from_oserror(e, path)

    def statvfs(self, path, cwd=b"/"):
        host, _ = self.resolve(path, cwd)
        try:
            v = os.statvfs(host)
        except OSError as e:
            raise from_oserror(e, path)
        flag = v.f_flag | (os.ST_RDONLY if self.readonly else 0)
        return [v.f_bsize, v.f_frsize, v.f_blocks, v.f_bfree, v.f_bavail, v.f_files, v.f_ffree, v.f_favail,
                v.f_fsid, flag, v.f_namemax]

    def access(self, path, mode, cwd=b"/"):
        host, _ = self.resolve(path, cwd)
        self.stat(path, cwd)
        if mode & os.W_OK and self.readonly:
            raise ZkError(-113)
        if not os.access(host, mode & 7):
            raise ZkError(-38)

    def listdir(self, path, pattern=b"", cwd=b"/"):
        """(host path, names) of a directory: ".", ".." and the sorted names,
        those matching the glob pattern when one is given."""
        host, _ = self.resolve(path, cwd)
        try:
            names = sorted(os.listdir(host))
            if not st_.S_ISDIR(os.lstat(host).st_mode):
                raise ZkError(-103)
        except OSError as e:
            raise from_oserror(e, path)
        names = [b".", b".."] + names
        if pattern:
            names = [n for n in names if fnmatch.fnmatchcase(n, pattern)]
        return host, names

    # -- calls that change the tree ------------------------------------

    def open(self, path, flags, mode=0o644, umask=0o022, cwd=b"/"):
        """A host descriptor for a client open; flags are host O_* flags.
        The creation mode is applied exactly (less the context's umask)."""
        acc = flags & os.O_ACCMODE
        if acc != os.O_RDONLY or flags & (os.O_CREAT | os.O_TRUNC | os.O_APPEND):
            self.writable()
        host, _ = self.resolve(path, cwd, follow=not flags & os.O_NOFOLLOW)
        base = flags | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK
        try:
            if flags & os.O_CREAT and not flags & os.O_EXCL:
                try:
                    return os.open(host, base & ~os.O_CREAT)
                except FileNotFoundError:
                    base |= os.O_EXCL
            fd = os.open(host, base, 0o600)
            if flags & os.O_CREAT:
                os.fchmod(fd, mode & ~umask & 0o7777)
            return fd
        except OSError as e:
            raise from_oserror(e, path)

    def _call(self, path, fn, *args, **kw):
        try:
            return fn(*args, **kw)
        except OSError as e:
            raise from_oserror(e, path)

    def mkdir(self, path, mode, umask=0o022, cwd=b"/", exist_ok=False):
        self.writable()
        host, _ = self.resolve(path, cwd, follow=False)
        try:
            os.mkdir(host, 0o700)
        except FileExistsError:
            if exist_ok and os.path.isdir(host) and not os.path.islink(host):
                return
            raise ZkError(-105)
        except OSError as e:
            raise from_oserror(e, path)
        # A set-group-id parent passes its bit on, as mkdir(2) does.
        inherited = os.lstat(host).st_mode & st_.S_ISGID
        self._call(path, os.chmod, host, (mode & ~umask & 0o7777) | inherited)

    def create(self, path, cwd=b"/"):
        """Creates an empty file unless something of that name exists."""
        fd = self.open(path, os.O_WRONLY | os.O_CREAT, cwd=cwd)
        os.close(fd)

    def mknod(self, path, mode, dev, umask=0o022, cwd=b"/"):
        self.writable()
        kind = st_.S_IFMT(mode) or st_.S_IFREG
        if kind not in (st_.S_IFREG, st_.S_IFIFO, st_.S_IFSOCK):
            raise ZkError(-38, "device nodes are not served")
        host, _ = self.resolve(path, cwd, follow=False)
        self._call(path, os.mknod, host, kind | 0o600, dev if kind != st_.S_IFREG else 0)
        self._call(path, os.chmod, host, mode & ~umask & 0o7777)

    def rmdir(self, path, cwd=b"/", recursive=False):
        self.writable()
        host, virt = self.resolve(path, cwd, follow=False)
        if virt == b"/":
            raise ZkError(-138, "the root stays")
        if recursive:
            if not os.path.isdir(host) or os.path.islink(host):
                raise ZkError(-103)
            self._call(path, shutil.rmtree, host)
        else:
            self._call(path, os.rmdir, host)

    def unlink(self, path, cwd=b"/"):
        self.writable()
        host, _ = self.resolve(path, cwd, follow=False)
        self._call(path, os.unlink, host)

    def remove(self, path, cwd=b"/", recursive=False):
        host, _ = self.resolve(path, cwd, follow=False)
        if os.path.isdir(host) and not os.path.islink(host):
            self.rmdir(path, cwd, recursive)
        else:
            self.unlink(path, cwd)

    def rename(self, old, new, replace=True, cwd=b"/"):
        self.writable()
        src, _ = self.resolve(old, cwd, follow=False)
        dst, _ = self.resolve(new, cwd, follow=False)
        if not replace and os.path.lexists(dst):
            raise ZkError(-105)
        self._call(old, os.rename, src, dst)

    def link(self, new, existing, cwd=b"/"):
        self.writable()
        src, _ = self.resolve(existing, cwd, follow=False)
        dst, _ = self.resolve(new, cwd, follow=False)
        self._call(new, os.link, src, dst, follow_symlinks=False)

    def symlink(self, linkpath, target, cwd=b"/"):
        self.writable()
        if b"\0" in target or len(target) > MAX_PATH:
            raise ZkError(-2)
        host, _ = self.resolve(linkpath, cwd, follow=False)
        self._call(linkpath, os.symlink, target, host)

    def chmod(self, path, mode, follow=True, cwd=b"/"):
        self.writable()
        host, _ = self.resolve(path, cwd, follow)
        if not follow and os.path.islink(host):
            raise ZkError(-37, "links have no mode of their own")
        self._call(path, os.chmod, host, mode & 0o7777)

    def chown(self, path, uid, gid, follow=True, cwd=b"/"):
        self.writable()
        host, _ = self.resolve(path, cwd, follow)
        self._call(path, os.chown, host, file_id(uid), file_id(gid), follow_symlinks=False)

    def utime(self, path, atime, mtime, follow=True, cwd=b"/"):
        """Sets access and modification times, each (seconds, nanoseconds);
        UTIME_NOW and UTIME_OMIT in the nanoseconds do what they say."""
        self.writable()
        host, _ = self.resolve(path, cwd, follow)
        cur = self.stat(path, cwd, follow)
        ns = (_time_ns(atime, cur.st_atime_ns), _time_ns(mtime, cur.st_mtime_ns))
        self._call(path, os.utime, host, ns=ns, follow_symlinks=False)

    def truncate(self, path, size, cwd=b"/"):
        self.writable()
        host, _ = self.resolve(path, cwd)
        self._call(path, os.truncate, host, size)

    # -- extended attributes (on the link itself, never its target) -----

    def getxattr(self, path, name, cwd=b"/"):
        host, _ = self.resolve(path, cwd, follow=False)
        return self._call(path, os.getxattr, host, name, follow_symlinks=False)

    def setxattr(self, path, name, value, flags, cwd=b"/"):
        self.writable()
        host, _ = self.resolve(path, cwd, follow=False)
        self._call(path, os.setxattr, host, name, value, flags & 3, follow_symlinks=False)

    def removexattr(self, path, name, cwd=b"/"):
        self.writable()
        host, _ = self.resolve(path, cwd, follow=False)
        self._call(path, os.removexattr, host, name, follow_symlinks=False)

    def listxattr(self, path, cwd=b"/"):
        """The names, each ended by NUL, as the system call lists them."""
        host, _ = self.resolve(path, cwd, follow=False)
        names = self._call(path, os.listxattr, host, follow_symlinks=False)
        return b"".join(os.fsencode(n) + b"\0" for n in names)


def file_id(v):
    """A uid or gid for os.chown: -1 leaves it as it is."""
    return -1 if v == NO_ID else v


def _time_ns(pair, current_ns):
    sec, nsec = pair
    if nsec == UTIME_OMIT:
        return current_ns
    if nsec == UTIME_NOW:
        return time.time_ns()
    return sec * 1000000000 + nsec
