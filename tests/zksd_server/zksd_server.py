#!/usr/bin/env python3
"""zksd test server: a zksd file service over a real directory, for the
project's tests.

It speaks the zksd protocol (plain TCP for zkp://, TLS for zkps://): one
request frame, one reply frame (none for the goodbye and for the attach that
re-sends a kept reply). It serves the directory given by --root; every client
path is resolved beneath it as if it were "/", links included (zkfs.py).

Run it as a program (the first line on stdout is "PORT <n>", then nothing
more; diagnostics go to stderr; SIGTERM or SIGINT stop it with status 0) or
use it in-process:

    srv = ZksdServer(Options(root=d, version="1.6.3"))
    srv.start()            # srv.port is the bound port
    ...                    # srv.requests() lists the request log entries
    srv.stop()

Switches (command line, with the Options field in brackets):

  --root DIR              directory served (required) [root]
  --host ADDR             address to listen on, default 127.0.0.1 [host]
  --port N                port, 0 (default) for a free one [port]
  --cert FILE --key FILE  serve TLS (zkps) with this certificate and key
                          [cert, key]; --tls-ciphers LIST limits the suites
                          (OpenSSL names) [tls_ciphers]
  --user U --password P   the one account, default "u" / "p" [user, password]
  --login sha|key         login style the server asks for through the
                          protocol byte of its replies: 1 for "sha" (the
                          "{SHA}" password login, default), 2 for "key" (the
                          key login, commands 90 and 91) [login]. Both logins
                          are accepted whatever the style.
  --accept-probe          answer the login probe (user ":") with errno 0,
                          so the client counts as logged in [accept_probe]
  --no-auth               serve requests without a login [no_auth]
  --refuse-logins         answer every login with errno 1 [refuse_logins]
  --fail-count N          failures from one address that lock it out, 0
                          (default) for no lockout [fail_count]
  --lock-minutes M        lockout length in minutes (a decimal number, so a
                          test may use 0.01), 0 for 60 [lock_minutes]
  --max-addrs N           addresses kept by the lockout, 0 for 10000
                          [max_addrs]
  --version V             version announced in the server information,
                          default 1.8.2 [version]. Requests the announced
                          version does not have are refused with errno -37.
  --plat NAME             platform announced ("linux"; "windows" makes the
                          login answer os_type 1) [plat]
  --readonly              announce readonly=[1] and refuse every change with
                          errno -113 [readonly]
  --codecs LIST           codecs accepted by name, comma-separated, default
                          "none,lz4" [codecs]
  --drop-before N[:CMD]   close the connection when the Nth request (of
                          command CMD, when given) arrives, before handling
                          it; may be repeated, each rule fires once [drops]
  --drop-after N[:CMD]    handle the Nth request, keep its reply for an
                          attach (ioctl2 105) and close without sending it
  --after-drop ACTION[:N] what the next N connections (default 1) get after
                          a drop fired: "stall" (accepted, never answered) or
                          "reset" (closed at once) [after_drop]
  --dup-reply N[:CMD]     send the reply of the Nth request (of command CMD)
                          twice, the second copy --dup-delay-ms MS later
                          (default 0) before the next request is read; may
                          be repeated, each rule fires once [dups, dup_delay_ms]
  --delay-ms MS[:CMD]     delay every reply (of command CMD) by MS ms; an
                          ioctl2 107 (stop) ends the wait and drops the
                          reply; may be repeated [delays]
  --ignore-stop           ioctl2 107 does not end a delayed request, so 106
                          answers "1" while it waits [ignore_stop]
  --index-skew N          add N to the last-command index that ioctl2 103
                          answers for another context [index_skew]
  --count-skew N          add N to the "len" of every read and write reply
                          (a server that claims more than it moved)
                          [count_skew]
  --bad-pack              data of a reply packed with a codec other than
                          "none" is sent as bytes that do not unpack (a
                          broken codec on the server) [bad_pack]
  --bad-names             every listing carries, after "." and "..", lines
                          whose names no directory entry may have: "a/b",
                          "", "." and ".." as files, a name holding a NUL
                          byte, one of 256 bytes [bad_names]
  --ctx-keep S            seconds a prepared context outlives its connection,
                          default 120 [ctx_keep]
  --log FILE              request log: one JSON object per line [log_path]
  --verbose               diagnostics of every request on stderr [verbose]

Request log. Each frame is one line, written and flushed before its reply
is sent: {"event": "request", "seq": n (frames received by the server, from
1), "conn": connection number, "ctx": context id, "idx": the context's frame
count after this frame, "cmd": id, "name": command name, the request's fields
(numbers, texts; binary fields as NAME_len; no password, key or settings
text), "code" and "text" for the ioctl channels, "errno"}. Other events:
"connect", "disconnect", "drop" (with "when" before/after, "seq", "cmd"),
"dup" (with "seq", "cmd"),
"attach" (with the context attached), "stall", "reset".

Server contexts. Every connection starts with a fresh context (its id,
codec, open files and directories, current directory, umask, frame count and
the last reply). Every frame handled on a context counts, the login probe and
the goodbye included, so ioctl2 103 answers the frames handled before it.
ioctl2 101 prepares the context to outlive its connection (for --ctx-keep
seconds); 102 answers its id; 107 stops its running request and closes its
old connection, answering once that request has ended (at most 2 s later);
106 answers "1" while a request runs on it, else "0";
104 attaches the connection to it (the client then sends the interrupted
request again); 105 attaches and sends the context's kept last reply as the
answer (no reply of its own).

Choices where the protocol leaves room:
- File errors travel as negative platform status codes with their message
  (ENOENT -102 "File not found."); logins answer 1 (wrong user or password)
  and 2 (locked out); unknown or version-gated requests -37; a malformed
  request -2; a request before login -38.
- The lockout is checked before each login step, the key login's included.
- Empty data under "lz4" travels as the one byte 00 (LZ4's block of nothing).
- A directory block holds whole lines and its NUL within the requested
  length; the empty line that ends a listing follows the last entry, in the
  next block when it does not fit. Listings start with "." and "..". A name
  holding a TAB or a newline cannot be written as a line and is left out.
- Reads and writes at an offset (commands 29, 30) leave the descriptor's
  position after the transferred bytes, as a seek and a read would.
- pwritex (command 50, ioctl2 10108) reserves the range (the file grows to
  offset + len when shorter) and answers len.
- Device nodes are not made (mknod of a block or character device: -38).
"""
import argparse
import fcntl
import itertools
import json
import os
import platform
import select
import signal
import socket
import ssl
import stat as st_
import struct
import sys
import threading
import time
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zkpack  # noqa: E402
import zkpwd  # noqa: E402
import zkwire as W  # noqa: E402
from zkfs import Tree, ZkError, file_id as _id, file_type, from_oserror, split_ns  # noqa: E402

S, I32, I64, BIN = W.T_STRING, W.T_INT32, W.T_INT64, W.T_BINARY

MAX_BLOCK = 16 << 20  # the largest read, write or directory block served


def version_tuple(text):
    """A version text as a tuple of numbers, compared part by part."""
    out = []
    for part in str(text).split("."):
        digits = "".join(itertools.takewhile(str.isdigit, part))
        out.append(int(digits) if digits else 0)
    return tuple(out)


def version_at_least(have, want):
    a, b = list(version_tuple(have)), list(version_tuple(want))
    n = max(len(a), len(b))
    return a + [0] * (n - len(a)) >= b + [0] * (n - len(b))


@dataclass
class Rule:
    """A fault: fires when its count of matching frames reaches n."""
    when: str  # "before", "after" or "dup"
    n: int
    cmd: int = None
    seen: int = 0
    fired: bool = False


@dataclass
class Options:
    root: str
    host: str = "127.0.0.1"
    port: int = 0
    cert: str = None
    key: str = None
    tls_ciphers: str = None
    user: str = "u"
    password: str = "p"
    login: str = "sha"
    accept_probe: bool = False
    no_auth: bool = False
    refuse_logins: bool = False
    fail_count: int = 0
    lock_minutes: float = 0
    max_addrs: int = 0
    version: str = "1.8.2"
    plat: str = "linux"
    readonly: bool = False
    codecs: tuple = ("none", "lz4")
    drops: list = field(default_factory=list)  # Rule
    after_drop: tuple = None  # ("stall" | "reset", count)
    delays: list = field(default_factory=list)  # (ms, cmd or None)
    dups: list = field(default_factory=list)  # Rule ("dup")
    dup_delay_ms: int = 0
    ignore_stop: bool = False
    index_skew: int = 0
    count_skew: int = 0
    bad_pack: bool = False
    bad_names: bool = False
    ctx_keep: float = 120.0
    log_path: str = None
    verbose: bool = False


class Request:
    """The fields of one request, by the command's policy; a missing field
    or a field that breaks the table rules is errno -2."""

    def __init__(self, policy, payload):
        self.names = [n for n, _ in policy]
        try:
            self.tb = W.parse(policy, payload)
        except W.ParseError as e:
            raise ZkError(-2, "bad request table: %s" % e)
        for name, f in zip(self.names, self.tb):
            if f is None:
                raise ZkError(-2, "missing field [%s]" % name)

    def _f(self, name):
        return self.tb[self.names.index(name)]

    def int(self, name):
        return self._f(name).int()

    def u32(self, name):
        return self.int(name) & 0xFFFFFFFF

    def text(self, name):
        return self._f(name).text()

    def bin(self, name):
        return self._f(name).value

    def summary(self):
        """The fields for the request log: no secrets, no raw data."""
        out = {}
        for name, f in zip(self.names, self.tb):
            if name in ("passwd", "lkey"):
                continue
            if f.ftype == BIN:
                out[name + "_len"] = len(f.value)
            elif f.ftype == S:
                out[name] = f.text().decode("utf-8", "backslashreplace")
            else:
                # the ioctl channels' "cmd" is their code; "cmd" stays the command id
                out["code" if name == "cmd" else name] = f.int()
        return out


def parse_text_args(data, n):
    """The tab-separated arguments of an ioctl text (its NUL dropped)."""
    text = bytes(data)
    if text.endswith(b"\0"):
        text = text[:-1]
    parts = text.split(b"\t")
    if len(parts) != n:
        raise ZkError(-2, "expected %d tab-separated arguments" % n)
    return parts


def num(text, base=10):
    try:
        if not text or not text.strip(b"0123456789abcdefABCDEF-") == b"":
            raise ValueError
        return int(text, base)
    except ValueError:
        raise ZkError(-2, "not a number: %r" % text)


class OpenFile:
    def __init__(self, fd, vpath):
        self.fd = fd
        self.vpath = vpath
        self.delete_on_close = False
        self.timeouts = {}


class BadName(bytes):
    """A name --bad-names puts in a listing: sent as a file line as it stands."""


# What --bad-names lists: names no directory entry may have.
BAD_NAMES = [b"a/b", b"", b".", b"..", b"nul\0x", b"L" * 256]


class OpenDir:
    def __init__(self, host, vpath, names):
        self.host = host
        self.vpath = vpath
        self.names = names
        self.pos = 0


class Context:
    """Server-side state of a client session; survives its connection when
    prepared (ioctl2 101)."""

    def __init__(self, cid):
        self.id = cid
        self.codec = zkpack.NoneCodec()
        self.files = {}  # descriptor -> OpenFile or OpenDir
        self.next_fd = 1
        self.cwd = b"/"
        self.umask = 0o022
        self.count = 0
        self.last_reply = None
        self.prepared = False
        self.user = None
        self.conn = None
        self.detached_at = None
        self.lock = threading.Lock()
        self.running = False
        self.idle = threading.Event()
        self.idle.set()
        self.stop = threading.Event()

    def add(self, obj):
        fd = self.next_fd
        self.next_fd += 1
        self.files[fd] = obj
        return fd

    def file(self, fd):
        f = self.files.get(fd)
        if not isinstance(f, OpenFile):
            raise ZkError(-4, "no open file %d" % fd)
        return f

    def dir(self, fd):
        d = self.files.get(fd)
        if not isinstance(d, OpenDir):
            raise ZkError(-4, "no open directory %d" % fd)
        return d

    def close_all(self):
        for f in self.files.values():
            if isinstance(f, OpenFile):
                try:
                    os.close(f.fd)
                except OSError:
                    pass
        self.files.clear()


class Reply:
    """A reply table under construction: errno 0 and an empty errno_str
    first, then the command's fields."""

    def __init__(self):
        self.msg = W.Message()
        self.msg.add_i32("errno", 0)
        self.msg.add_str("errno_str", b"")

    def __getattr__(self, name):
        return getattr(self.msg, name)


def error_reply(code, text):
    m = W.Message()
    m.add_i32("errno", code)
    m.add_str("errno_str", text.encode("utf-8", "backslashreplace") if isinstance(text, str) else text)
    return m


# ---------------------------------------------------------------------------
# One connection.


class Connection:
    def __init__(self, server, sock, addr, num_):
        self.srv = server
        self.sock = sock
        self.ip = addr[0]
        self.num = num_
        self.logged_in = server.opt.no_auth
        self.user = None
        self.lkey = b""
        self.expected_key = None
        self.closed = False
        self.ctx = server.new_context(self)
        self.rbuf = bytearray(4096)

    # -- stream ----------------------------------------------------------

    def recv_exact(self, view):
        got = 0
        while got < len(view):
            n = self.sock.recv_into(view[got:])
            if n == 0:
                return False
            got += n
        return True

    def read_frame(self):
        """(protocol byte, command id, root payload view) or None at the end
        of the stream or on a frame that cannot be read."""
        head = bytearray(W.HEAD_LEN)
        if not self.recv_exact(memoryview(head)):
            return None
        try:
            proto, cmd, word, padded = W.split_head(bytes(head))
        except W.FrameError as e:
            self.srv.warn("conn %d: %s" % (self.num, e))
            return None
        if word & 0x80000000 or (word >> 24) & 0x7F != W.ROOT_ID:
            self.srv.warn("conn %d: root word %08x" % (self.num, word))
            return None
        if padded > W.MAX_FRAME:
            self.srv.warn("conn %d: frame of %d bytes refused" % (self.num, padded))
            return None
        if proto != W.PROTO:
            self.srv.warn("conn %d: protocol byte %d" % (self.num, proto))
            return None
        if len(self.rbuf) < padded:
            self.rbuf = bytearray(padded)
        body = memoryview(self.rbuf)[:padded - 4]
        if not self.recv_exact(body):
            return None
        raw = word & 0xFFFFFF
        return proto, cmd, body[:raw - 4]

    def send(self, parts):
        """Sends a frame given as a list of buffers; False when it fails."""
        try:
            if isinstance(self.sock, ssl.SSLSocket):
                for p in parts:
                    self.sock.sendall(p)
                return True
            views = [memoryview(p).cast("B") for p in parts if len(p)]
            while views:
                n = self.sock.sendmsg(views)
                while views and n >= len(views[0]):
                    n -= len(views[0])
                    views.pop(0)
                if n:
                    views[0] = views[0][n:]
            return True
        except OSError:
            return False

    def close(self):
        if self.closed:
            return
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass

    # -- loop ------------------------------------------------------------

    def serve(self):
        srv = self.srv
        goodbye = False
        try:
            while not srv.stopping:
                got = self.read_frame()
                if got is None:
                    break
                _, cmd, payload = got
                seq = srv.count_frame()
                if srv.fault("before", cmd):
                    srv.log({"event": "drop", "when": "before", "seq": seq, "conn": self.num, "cmd": cmd})
                    break
                # The frame counts on the context the connection has when it
                # arrives, also when the request attaches another one.
                ctx = self.ctx
                entry = {"event": "request", "seq": seq, "conn": self.num, "cmd": cmd}
                with ctx.lock:
                    ctx.running = True
                    ctx.idle.clear()
                    ctx.stop.clear()
                    out = self.handle(cmd, payload, entry)
                    ctx.count += 1
                    if out is not None:
                        ctx.last_reply = out
                entry["ctx"] = ctx.id
                entry["idx"] = ctx.count
                srv.log(entry)
                try:
                    if cmd == 2:
                        goodbye = True
                        break
                    if srv.fault("after", cmd):
                        srv.log({"event": "drop", "when": "after", "seq": seq, "conn": self.num, "cmd": cmd})
                        break
                    ms = srv.delay_for(cmd)
                    if ms and ctx.stop.wait(ms / 1000.0):
                        break
                    if out is not None and not self.send(out):
                        break
                    if out is not None and srv.dup_fires(cmd):
                        time.sleep(srv.opt.dup_delay_ms / 1000.0)
                        if not self.send(out):
                            break
                        # Logged once the copy went: a test can wait for it.
                        srv.log({"event": "dup", "seq": seq, "conn": self.num, "cmd": cmd})
                finally:
                    ctx.running = False
                    ctx.idle.set()
        except (OSError, ssl.SSLError) as e:
            srv.warn("conn %d: %s" % (self.num, e))
        finally:
            self.close()
            srv.connection_ended(self, goodbye)

    def handle(self, cmd, payload, entry):
        """The reply frame of one request as a list of buffers, or None when
        the request has no reply."""
        srv = self.srv
        row = COMMANDS.get(cmd)
        try:
            if row is None:
                entry["name"] = "unknown"
                raise ZkError(-37, "unsupported command %d" % cmd)
            name, policy, method, low, below = row
            entry["name"] = name
            if low and not version_at_least(srv.opt.version, low) or \
                    below and version_at_least(srv.opt.version, below):
                raise ZkError(-37, "unsupported command %d at version %s" % (cmd, srv.opt.version))
            if not self.logged_in and cmd not in (1, 2, 90, 91):
                raise ZkError(-38, "login first")
            req = Request(policy, payload)
            entry.update(req.summary())
            rep = Reply()
            result = method(self, req, rep, entry)
            if result is NO_REPLY:
                return None
            if isinstance(result, list):
                return result  # a kept reply, sent again
            msg = rep.msg
        except ZkError as e:
            msg = error_reply(e.code, e.text)
            entry["errno"] = e.code
            if srv.opt.verbose:
                srv.warn("conn %d cmd %d: %d %s" % (self.num, cmd, e.code, e.text))
        except Exception as e:  # a fault of this server: answer it, keep serving
            srv.warn("conn %d cmd %d: internal error %r" % (self.num, cmd, e))
            msg = error_reply(-26, "Internal error. %r" % e)
            entry["errno"] = -26
        else:
            entry["errno"] = 0
        return msg.parts(cmd, srv.proto_byte)

    # -- session commands ------------------------------------------------

    def cmd_login(self, req, rep, entry):
        user, pwd = req.text("user"), req.text("passwd")
        opt = self.srv.opt
        if user == b":" and opt.accept_probe:
            self.logged_in = True
        elif opt.refuse_logins:
            raise ZkError(1, zkpwd.WRONG_LOGIN)
        else:
            code, text = self.srv.guard.check_user_pwd(self.ip, user, pwd)
            if code:
                raise ZkError(code, text)
            self.login_ok(user)
        rep.add_i32("os_type", 1 if opt.plat == "windows" else 2)

    def login_ok(self, user):
        self.logged_in = True
        self.user = user
        self.ctx.user = user

    def cmd_goodbye(self, req, rep, entry):
        return NO_REPLY

    def cmd_key_login1(self, req, rep, entry):
        user = req.text("user")
        if self.srv.opt.refuse_logins:
            raise ZkError(1, zkpwd.WRONG_LOGIN)
        code, text, cert, key = self.srv.guard.cert_for(self.ip, user)
        if code:
            raise ZkError(code, text)
        self.expected_key = (user, key)
        rep.add_i32("ver", min(req.int("ver"), 1))
        rep.add_str("cert", cert)

    def cmd_key_login2(self, req, rep, entry):
        user, expected = self.expected_key or (None, b"")
        self.expected_key = None
        code, text = self.srv.guard.check_key(self.ip, req.text("lkey"), expected)
        if code:
            raise ZkError(code, text)
        self.lkey = expected
        self.login_ok(user)

    def cmd_lsblk(self, req, rep, entry):
        rep.add_str("lsblk", b"")

    def cmd_info(self, req, rep, entry):
        opt = self.srv.opt
        lines = [("ver", opt.version), ("plat", opt.plat), ("arch", platform.machine()), ("bit", "64"),
                 ("order", sys.byteorder), ("is_root", "1" if os.geteuid() == 0 else "0"),
                 ("log_file", opt.log_path or ""), ("readonly", "1" if opt.readonly else "0")]
        rep.add_str("info", "".join("%s=[%s]\n" % kv for kv in lines))

    # -- files -----------------------------------------------------------

    @property
    def tree(self):
        return self.srv.tree

    def new_file(self, rep, fd, vpath):
        rep.add_i64("fd", self.ctx.add(OpenFile(fd, vpath)))

    def cmd_open(self, req, rep, entry):
        pf = req.int("mode")
        path = req.text("path")
        v = self.srv.opt.version
        if pf & 0x80000:
            raise ZkError(-37, "path lists are not served")
        if pf & 0x10000 and not version_at_least(v, "1.6.7") or pf & 0x100000 and not version_at_least(v, "1.8.2"):
            raise ZkError(-37, "open flags 0x%x unsupported at version %s" % (pf, v))
        if pf & 1:
            flags = os.O_RDONLY
        elif pf & 2:
            flags = os.O_WRONLY
        elif pf & 4:
            flags = os.O_RDWR
        else:
            flags = os.O_RDONLY
        for bit, f in ((8, os.O_CREAT), (16, os.O_APPEND), (32, os.O_TRUNC), (0x800, os.O_SYNC)):
            if pf & bit:
                flags |= f
        fd = self.tree.open(path, flags, 0o644, self.ctx.umask, self.ctx.cwd)
        self.new_file(rep, fd, self.tree.resolve(path, self.ctx.cwd)[1])

    def cmd_open2(self, req, rep, entry):
        pl = req.u32("flag")
        path = req.text("path")
        acc = pl & 3
        flags = (os.O_RDONLY, os.O_WRONLY, os.O_RDWR, os.O_RDONLY)[acc]
        for bit, f in ((4, os.O_CREAT), (8, os.O_APPEND), (16, os.O_TRUNC), (64, os.O_EXCL),
                       (0x80, os.O_NOFOLLOW), (0x200, os.O_SYNC), (0x800, os.O_DIRECTORY)):
            if pl & bit:
                flags |= f
        fd = self.tree.open(path, flags, req.u32("mode"), self.ctx.umask, self.ctx.cwd)
        self.new_file(rep, fd, self.tree.resolve(path, self.ctx.cwd)[1])

    def cmd_wopen(self, req, rep, entry):
        access = req.u32("desire_access")
        disp = req.u32("creat_disp")
        path = req.text("path")
        rd, wr = access & (0x80000000 | 0x20000000), access & 0x40000000
        flags = os.O_RDWR if rd and wr else os.O_WRONLY if wr else os.O_RDONLY
        if disp == 1:
            flags |= os.O_CREAT | os.O_EXCL
        elif disp == 2:
            flags |= os.O_CREAT | os.O_TRUNC
        elif disp == 4:
            flags |= os.O_CREAT
        elif disp == 5:
            flags |= os.O_TRUNC
        fd = self.tree.open(path, flags, 0o644, self.ctx.umask, self.ctx.cwd)
        self.new_file(rep, fd, self.tree.resolve(path, self.ctx.cwd)[1])

    def cmd_close(self, req, rep, entry):
        fd = req.int("fd")
        f = self.ctx.file(fd)
        del self.ctx.files[fd]
        try:
            os.close(f.fd)
        except OSError as e:
            raise from_oserror(e)
        if f.delete_on_close:
            self.tree.unlink(f.vpath)

    def block_len(self, req):
        n = req.int("len")
        if n < 0 or n > MAX_BLOCK:
            raise ZkError(-2, "length %d outside 0..%d" % (n, MAX_BLOCK))
        return n

    def put_packed(self, rep, name, data):
        """The last field: data packed with the context's codec, sent from
        where it lies."""
        codec = self.ctx.codec
        if codec.id == zkpack.NoneCodec.id:
            rep.add_bin_ref(name, data)
            return
        if self.srv.opt.bad_pack:
            # An LZ4 token promising more literals than follow.
            rep.add_bin_ref(name, b"\xf0")
            return
        cap = zkpack.bound(len(data))
        out = bytearray(cap)
        n = codec.pack_into(data, out, 0, cap)
        if n < 0:
            raise ZkError(-97, "packing failed")
        rep.add_bin_ref(name, memoryview(out)[:n])

    def unpacked(self, req, name, n):
        """The unpacked value of a binary field, exactly n bytes."""
        src = req.bin(name)
        data = src if self.ctx.codec.id == zkpack.NoneCodec.id else self.ctx.codec.unpack(src, n)
        if data is None or len(data) != n:
            raise ZkError(-97, "data does not unpack to %d bytes" % n)
        return data

    def read_reply(self, rep, data):
        rep.add_i32("len", len(data) + self.srv.opt.count_skew)
        rep.add_i32("flags", 0)
        self.put_packed(rep, "data", data)

    def cmd_read(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        n = self.block_len(req)
        try:
            data = os.read(f.fd, n)
        except OSError as e:
            raise from_oserror(e, f.vpath)
        self.read_reply(rep, data)

    def cmd_read_at(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        n = self.block_len(req)
        off = req.int("offset")
        try:
            data = os.pread(f.fd, n, off)
            os.lseek(f.fd, off + len(data), os.SEEK_SET)
        except OSError as e:
            raise from_oserror(e, f.vpath)
        self.read_reply(rep, data)

    def write_all(self, f, data, off=None):
        done = 0
        view = memoryview(data)
        try:
            while done < len(data):
                if off is None:
                    k = os.write(f.fd, view[done:])
                else:
                    k = os.pwrite(f.fd, view[done:], off + done)
                if k <= 0:
                    break
                done += k
            if off is not None:
                os.lseek(f.fd, off + done, os.SEEK_SET)
        except OSError as e:
            if done == 0:
                raise from_oserror(e, f.vpath)
        return done

    def cmd_write(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        self.tree.writable()
        data = self.unpacked(req, "data", self.block_len(req))
        rep.add_i32("len", self.write_all(f, data) + self.srv.opt.count_skew)

    def cmd_write_at(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        self.tree.writable()
        data = self.unpacked(req, "data", self.block_len(req))
        rep.add_i32("len", self.write_all(f, data, req.int("offset")) + self.srv.opt.count_skew)

    def cmd_fsync(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        try:
            os.fsync(f.fd)
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def cmd_seek(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        whence = req.int("mode")
        if whence not in (0, 1, 2):
            raise ZkError(-2, "whence %d" % whence)
        try:
            rep.add_i64("offset", os.lseek(f.fd, req.int("offset"), whence))
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def cmd_ftruncate(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        self.tree.writable()
        try:
            os.ftruncate(f.fd, req.int("len"))
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def cmd_finfo(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        try:
            s = os.fstat(f.fd)
            pos = os.lseek(f.fd, 0, os.SEEK_CUR)
        except OSError as e:
            raise from_oserror(e, f.vpath)
        rep.add_i32("type", 1 if st_.S_ISDIR(s.st_mode) else 2)
        rep.add_i64("len", s.st_size)
        rep.add_i64("offset", pos)
        rep.add_i32("sector_bytes", 512)
        rep.add_str("info", b"")

    # -- stat --------------------------------------------------------------

    def add_stat(self, rep, s, extended):
        rep.add_i32("type", file_type(s))
        rep.add_i32("attrib_mode", s.st_mode)
        rep.add_i32("uid", s.st_uid)
        rep.add_i32("gid", s.st_gid)
        rep.add_i64("len", s.st_size)
        a, an = split_ns(s.st_atime_ns)
        m, mn = split_ns(s.st_mtime_ns)
        c, cn = split_ns(s.st_ctime_ns)
        rep.add_i64("time_access", a)
        rep.add_i64("time_write", m)
        rep.add_i64("time_create", c)
        if extended:
            rep.add_i32("time_access_ns", an)
            rep.add_i32("time_write_ns", mn)
            rep.add_i32("time_create_ns", cn)
            rep.add_i64("st_nlink", s.st_nlink)
            rep.add_i64("st_dev", s.st_dev)
            rep.add_i64("st_rdev", s.st_rdev)
            rep.add_i64("st_ino", s.st_ino)
            rep.add_i64("st_blksize", s.st_blksize)
            rep.add_i64("st_blocks", s.st_blocks)

    def ext153(self):
        return version_at_least(self.srv.opt.version, "1.5.3")

    def cmd_stat(self, req, rep, entry):
        self.add_stat(rep, self.tree.stat(req.text("path"), self.ctx.cwd), False)

    def cmd_stat_ext(self, req, rep, entry):
        self.add_stat(rep, self.tree.stat(req.text("path"), self.ctx.cwd), True)

    def cmd_lstat(self, req, rep, entry):
        self.add_stat(rep, self.tree.stat(req.text("path"), self.ctx.cwd, follow=False), self.ext153())

    def fstat_of(self, req):
        f = self.ctx.file(req.int("fd"))
        try:
            return os.fstat(f.fd)
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def cmd_fstat(self, req, rep, entry):
        self.add_stat(rep, self.fstat_of(req), False)

    def cmd_fstat_ext(self, req, rep, entry):
        self.add_stat(rep, self.fstat_of(req), True)

    # -- directories ---------------------------------------------------------

    def cmd_opendir(self, req, rep, entry):
        path = req.text("path")
        host, names = self.tree.listdir(path, req.text("pattern"), self.ctx.cwd)
        vpath = self.tree.resolve(path, self.ctx.cwd)[1]
        if self.srv.opt.bad_names and names[:2] == [b".", b".."]:
            names[2:2] = [BadName(n) for n in BAD_NAMES]
        rep.add_i64("fd", self.ctx.add(OpenDir(host, vpath, names)))

    def dir_line(self, d, name, extended):
        """One listing line of a name, or None for a name that cannot be
        written as one (or that vanished)."""
        if isinstance(name, BadName):
            s = os.lstat(d.host)
            return b"\t".join(b"%d" % v for v in [2, st_.S_IFREG | 0o644, s.st_uid, s.st_gid, 0, 0, 0, 0] +
                              ([0, 0, 0, 1, 0, 0, 0, 4096, 0] if extended else [])) + b"\t" + name + b"\t\n"
        if b"\t" in name or b"\n" in name:
            self.srv.warn("name %r left out of a listing" % name)
            return None
        if name == b"..":
            here = d.host if d.vpath == b"/" else os.path.dirname(d.host)
        else:
            here = d.host if name == b"." else os.path.join(d.host, name)
        try:
            s = os.lstat(here)
            link = b""
            through = None
            if st_.S_ISLNK(s.st_mode):
                link = os.readlink(here)
                try:
                    through = self.tree.stat(os.path.join(d.vpath, name))
                except ZkError:
                    through = None
        except OSError:
            return None
        a, an = split_ns(s.st_atime_ns)
        m, mn = split_ns(s.st_mtime_ns)
        c, cn = split_ns(s.st_ctime_ns)
        nums = [file_type(s, through), s.st_mode, s.st_uid, s.st_gid, a, m, c, s.st_size]
        if extended:
            nums += [an, mn, cn, s.st_nlink, s.st_dev, s.st_rdev, s.st_ino, s.st_blksize, s.st_blocks]
        return b"\t".join(b"%d" % v for v in nums) + b"\t" + name + b"\t" + link + b"\n"

    def dir_block(self, req, rep, extended):
        d = self.ctx.dir(req.int("fd"))
        cap = self.block_len(req) - 1  # room for the closing NUL
        out = bytearray()
        while d.pos < len(d.names):
            line = self.dir_line(d, d.names[d.pos], extended)
            if line is not None and len(out) + len(line) > cap:
                break
            if line is not None:
                out += line
            d.pos += 1
        if d.pos >= len(d.names) and len(out) + 1 <= cap:
            out += b"\n"
        if not out:
            raise ZkError(-41, "a listing line does not fit in %d bytes" % (cap + 1))
        out += b"\0"
        rep.add_i32("len", len(out))
        self.put_packed(rep, "data", bytes(out))

    def cmd_readdir(self, req, rep, entry):
        self.dir_block(req, rep, False)

    def cmd_readdir_ext(self, req, rep, entry):
        self.dir_block(req, rep, True)

    def cmd_closedir(self, req, rep, entry):
        fd = req.int("fd")
        self.ctx.dir(fd)
        del self.ctx.files[fd]


    # -- further file commands -------------------------------------------------

    def cmd_statfs(self, req, rep, entry):
        v = self.tree.statvfs(req.text("path"), self.ctx.cwd)
        bsize, frsize, blocks, bfree, bavail, _, _, _, _, flag, namemax = v
        rep.add_i32("flags", flag)
        rep.add_i32("name_len", namemax)
        rep.add_i64("avail_bytes", bavail * frsize)
        rep.add_i64("free_bytes", bfree * frsize)
        rep.add_i64("total_bytes", blocks * frsize)
        rep.add_str("fs_name", b"zksd")
        rep.add_str("vol_name", os.path.basename(self.tree.root) or b"/")

    def cmd_setxattr(self, req, rep, entry):
        n = req.int("len")
        if n < 0 or n > 65536:
            raise ZkError(-2, "attribute value of %d bytes" % n)
        value = self.unpacked(req, "data", n)
        self.tree.setxattr(req.text("path"), req.text("name"), value, req.int("flags"), self.ctx.cwd)
        rep.add_i32("len", n)

    def futime(self, req, ns):
        f = self.ctx.file(req.int("fd"))
        self.tree.writable()
        try:
            cur = os.fstat(f.fd)
            times = []
            for sec, nsec, now in ((req.int("time_access"), ns[0], cur.st_atime_ns),
                                   (req.int("time_write"), ns[1], cur.st_mtime_ns)):
                times.append(now if sec == 0 else sec * 1000000000 + nsec)
            os.utime(f.fd, ns=tuple(times))
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def cmd_futime(self, req, rep, entry):
        self.futime(req, (0, 0))

    def cmd_futime_ns(self, req, rep, entry):
        self.futime(req, (req.u32("time_access_ns"), req.u32("time_write_ns")))

    def cmd_flock(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        kind = req.int("type")
        op = fcntl.F_UNLCK if kind & 0xF == 3 else fcntl.F_RDLCK if kind & 0xF == 1 else fcntl.F_WRLCK
        how = fcntl.LOCK_UN if op == fcntl.F_UNLCK else fcntl.LOCK_SH if op == fcntl.F_RDLCK else fcntl.LOCK_EX
        if kind & 0x10 and op != fcntl.F_UNLCK:
            how |= fcntl.LOCK_NB
        try:
            fcntl.lockf(f.fd, how, req.int("len"), req.int("offset"))
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def reserve(self, f, offset, n):
        """pwritex: the range [offset, offset + n) is made part of the file."""
        self.tree.writable()
        if offset < 0 or n < 0:
            raise ZkError(-2, "range %d+%d" % (offset, n))
        try:
            if os.fstat(f.fd).st_size < offset + n:
                os.ftruncate(f.fd, offset + n)
        except OSError as e:
            raise from_oserror(e, f.vpath)
        return n

    def cmd_pwritex(self, req, rep, entry):
        f = self.ctx.file(req.int("fd"))
        rep.add_i32("len", self.reserve(f, req.int("offset"), req.u32("len")))

    # -- ioctl channels ------------------------------------------------------

    def cmd_ioctl(self, req, rep, entry):
        code = req.int("cmd")
        n = req.int("len")
        data = req.bin("data")
        if n < 0 or n > len(data):
            raise ZkError(-2, "len %d with %d data bytes" % (n, len(data)))
        text = bytes(data[:n])
        entry["code"] = code
        entry["text"] = text.rstrip(b"\0").decode("utf-8", "backslashreplace")
        row = HANDLE_IOCTLS.get(code)
        if row is None or row[1] and not version_at_least(self.srv.opt.version, row[1]):
            raise ZkError(-37, "unsupported handle ioctl %d" % code)
        row[0](self, req.int("fd"), text)

    def cmd_ioctl2(self, req, rep, entry):
        code = req.int("cmd")
        data = bytes(req.bin("data"))
        entry["code"] = code
        if code != 11:
            entry["text"] = data.rstrip(b"\0").decode("utf-8", "backslashreplace")
        row = IOCTL2S.get(code)
        if row is None or row[1] and not version_at_least(self.srv.opt.version, row[1]) or \
                row[2] and version_at_least(self.srv.opt.version, row[2]):
            raise ZkError(-37, "unsupported ioctl2 %d" % code)
        answer = row[0](self, req.int("fd"), data)
        if code == 105:
            return answer
        rep.add_bin("data", answer or b"")

    def io_codec(self, fd, text):
        name = text.split(b"\0")[0].decode("utf-8", "backslashreplace")
        codec = zkpack.new(name) if name in self.srv.opt.codecs else None
        if codec is None:
            raise ZkError(-37, "unsupported codec [%s]" % name)
        self.ctx.codec = codec

    def io_probe(self, fd, text):
        pass

    def args(self, text, n):
        return parse_text_args(text, n)

    def io_path(self, text):
        return self.args(text, 1)[0]

    def io_nothing(self, fd, text):
        pass

    def io_chdir(self, fd, text):
        path = self.io_path(text)
        if file_type(self.tree.stat(path, self.ctx.cwd)) != 1:
            raise ZkError(-103)
        self.ctx.cwd = self.tree.resolve(path, self.ctx.cwd)[1]

    def io_create(self, fd, text):
        self.tree.create(self.io_path(text), self.ctx.cwd)

    def io_mkdir_p(self, fd, text):
        self.tree.mkdir(self.io_path(text), 0o777, self.ctx.umask, self.ctx.cwd, exist_ok=True)

    def io_rmdir(self, fd, text):
        self.tree.rmdir(self.io_path(text), self.ctx.cwd)

    def io_unlink(self, fd, text):
        self.tree.unlink(self.io_path(text), self.ctx.cwd)

    def io_rename(self, fd, text):
        old, new, replace = self.args(text, 3)
        self.tree.rename(old, new, num(replace) != 0, self.ctx.cwd)

    def io_set_attrib(self, fd, text):
        path, _ = self.args(text, 2)
        self.tree.stat(path, self.ctx.cwd)  # attribute words of another platform: nothing to set here

    def io_access(self, fd, text):
        path, mode = self.args(text, 2)
        self.tree.access(path, num(mode), self.ctx.cwd)

    def io_mkdir(self, fd, text):
        path, mode = self.args(text, 2)
        self.tree.mkdir(path, num(mode), self.ctx.umask, self.ctx.cwd)

    def io_mknod(self, fd, text):
        path, mode, dev = self.args(text, 3)
        self.tree.mknod(path, num(mode), num(dev), self.ctx.umask, self.ctx.cwd)

    def io_mkfifo(self, fd, text):
        path, mode = self.args(text, 2)
        self.tree.mknod(path, st_.S_IFIFO | num(mode) & 0o7777, 0, self.ctx.umask, self.ctx.cwd)

    def io_link(self, fd, text):
        new, existing = self.args(text, 2)
        self.tree.link(new, existing, self.ctx.cwd)

    def io_symlink(self, fd, text):
        linkpath, target = self.args(text, 2)
        self.tree.symlink(linkpath, target, self.ctx.cwd)

    def io_chmod(self, fd, text, follow=True):
        path, mode = self.args(text, 2)
        self.tree.chmod(path, num(mode), follow, self.ctx.cwd)

    def io_lchmod(self, fd, text):
        self.io_chmod(fd, text, follow=False)

    def io_chown(self, fd, text, follow=True):
        path, uid, gid = self.args(text, 3)
        self.tree.chown(path, num(uid), num(gid), follow, self.ctx.cwd)

    def io_lchown(self, fd, text):
        self.io_chown(fd, text, follow=False)

    def io_utime(self, fd, text, follow=True):
        path, a, w, _, ans, wns, _ = self.args(text, 7)
        self.tree.utime(path, (num(a), num(ans)), (num(w), num(wns)), follow, self.ctx.cwd)

    def io_utimens(self, fd, text):
        self.io_utime(fd, text, follow=False)

    def io_truncate(self, fd, text):
        path, size = self.args(text, 2)
        self.tree.truncate(path, num(size), self.ctx.cwd)

    def io_rmdir2(self, fd, text):
        path, flag = self.args(text, 2)
        self.tree.rmdir(path, self.ctx.cwd, recursive=num(flag) != 0)

    def io_remove2(self, fd, text):
        path, flag = self.args(text, 2)
        self.tree.remove(path, self.ctx.cwd, recursive=num(flag) != 0)

    def io_read_timeout(self, fd, text):
        self.ctx.file(fd).timeouts["read"] = num(self.io_path(text))

    def io_write_timeout(self, fd, text):
        self.ctx.file(fd).timeouts["write"] = num(self.io_path(text))

    def io_frename(self, fd, text):
        f = self.ctx.file(fd)
        new, replace = self.args(text, 2)
        if not new.startswith(b"/"):
            new = os.path.join(os.path.dirname(f.vpath), new)
        self.tree.rename(f.vpath, new, num(replace) != 0, self.ctx.cwd)
        f.vpath = self.tree.resolve(new, self.ctx.cwd, follow=False)[1]

    def io_fchmod(self, fd, text):
        f = self.ctx.file(fd)
        self.tree.writable()
        try:
            os.fchmod(f.fd, num(self.io_path(text)) & 0o7777)
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def io_fchown(self, fd, text):
        f = self.ctx.file(fd)
        uid, gid = self.args(text, 2)
        self.tree.writable()
        try:
            os.fchown(f.fd, _id(num(uid)), _id(num(gid)))
        except OSError as e:
            raise from_oserror(e, f.vpath)

    def io_delete_on_close(self, fd, text):
        self.ctx.file(fd).delete_on_close = num(self.io_path(text)) != 0

    # -- ioctl2 answers --------------------------------------------------------

    def i2_settings(self, fd, data):
        opt = self.srv.opt
        return ("user=%s\nallow_set_readonly=0\nreadonly=%d\nversion=%s\n" % (
            self.srv.guard.user.decode("utf-8", "backslashreplace"), opt.readonly, opt.version)).encode()

    def i2_set_settings(self, fd, data):
        """Setting texts carry "user" and "passwd" enciphered with the login
        key of a key login; they become the account."""
        if not self.lkey:
            raise ZkError(-38, "settings need a key login")
        kv = {}
        for line in data.split(b"\0")[0].split(b"\n"):
            k, sep, v = line.partition(b"=")
            if sep:
                kv[k.strip()] = v.strip()
        if b"user" in kv and b"passwd" in kv:
            user, pwd = zkpwd.decode_value(kv[b"user"], self.lkey), zkpwd.decode_value(kv[b"passwd"], self.lkey)
            if not user or pwd is None:
                raise ZkError(-2, "user or passwd not enciphered with the login key")
            self.srv.guard.set_account(user, pwd)
        return b""

    def i2_statvfs(self, fd, data):
        return b"\t".join(b"%d" % v for v in self.tree.statvfs(self.io_path(data), self.ctx.cwd))

    def i2_readlink(self, fd, data):
        return self.tree.readlink(self.io_path(data), self.ctx.cwd)

    def i2_listxattr(self, fd, data):
        return self.tree.listxattr(self.io_path(data), self.ctx.cwd)

    def i2_getxattr(self, fd, data):
        path, name = self.args(data, 2)
        return self.tree.getxattr(path, name, self.ctx.cwd)

    def i2_removexattr(self, fd, data):
        path, name = self.args(data, 2)
        self.tree.removexattr(path, name, self.ctx.cwd)
        return b""

    def i2_chdir_mt(self, fd, data):
        cwd, path = self.args(data, 2)
        if file_type(self.tree.stat(path, cwd or b"/")) != 1:
            raise ZkError(-103)
        return self.tree.resolve(path, cwd or b"/")[1]

    def i2_realpath_mt(self, fd, data):
        cwd, path = self.args(data, 2)
        self.tree.stat(path, cwd or b"/")
        return self.tree.resolve(path, cwd or b"/")[1]

    def i2_umask(self, fd, data):
        old = self.ctx.umask
        self.ctx.umask = num(self.io_path(data), 16) & 0o777
        return b"%x" % old

    def i2_seekdir(self, fd, data):
        d = self.ctx.dir(fd)
        d.pos = num(self.io_path(data))
        return b""

    def i2_unsupported(self, fd, data):
        raise ZkError(-37, "not served by the test server")

    def i2_accept(self, fd, data):
        return b""

    def i2_pwritex(self, fd, data):
        offset, n = self.args(data, 2)
        return b"%d" % self.reserve(self.ctx.file(fd), num(offset), num(n))

    def i2_hash_caps(self, fd, data):
        return b"3ff"

    def i2_echo(self, fd, data):
        return data

    # -- server contexts --------------------------------------------------------

    def other_ctx(self, data):
        cid = num(self.io_path(data))
        with self.srv.lock:
            ctx = self.srv.contexts.get(cid)
        if ctx is None or ctx.user != self.user:
            raise ZkError(-46, "no server context %d" % cid)
        return ctx

    def i2_prepare(self, fd, data):
        self.ctx.prepared = True
        return b""

    def i2_ctx_id(self, fd, data):
        return b"%d" % self.ctx.id

    def i2_last_idx(self, fd, data):
        if num(self.io_path(data)) == 0:
            return b"%d" % self.ctx.count
        return b"%d" % (self.other_ctx(data).count + self.srv.opt.index_skew)

    def i2_run_status(self, fd, data):
        return b"1" if self.other_ctx(data).running else b"0"

    def i2_stop(self, fd, data):
        ctx = self.other_ctx(data)
        if self.srv.opt.ignore_stop:
            return b""
        ctx.stop.set()
        old = ctx.conn
        if old is not None and old is not self:
            old.close()
        if ctx is not self.ctx:
            ctx.idle.wait(2.0)  # the stopped request ends before the answer
        return b""

    def attach(self, target):
        """Makes target the context of this connection; the context the
        connection had is closed."""
        srv = self.srv
        with srv.lock:
            old = target.conn
            fresh = self.ctx
            target.conn = self
            target.detached_at = None
            self.ctx = target
            srv.contexts.pop(fresh.id, None)
        fresh.close_all()
        if old is not None and old is not self:
            old.close()
        srv.log({"event": "attach", "conn": self.num, "ctx": target.id})

    def i2_attach(self, fd, data):
        self.attach(self.other_ctx(data))
        return b""

    def i2_attach_reply(self, fd, data):
        target = self.other_ctx(data)
        if target.last_reply is None:
            raise ZkError(-46, "context %d keeps no reply" % target.id)
        self.attach(target)
        return target.last_reply


NO_REPLY = object()

# handle ioctl code: (handler, lowest version)
HANDLE_IOCTLS = {
    10001: (Connection.io_codec, None),
    10002: (Connection.io_probe, None),
    10010: (Connection.io_nothing, None),
    10011: (Connection.io_chdir, None),
    10012: (Connection.io_create, None),
    10013: (Connection.io_mkdir_p, None),
    10014: (Connection.io_rmdir, None),
    10015: (Connection.io_unlink, None),
    10016: (Connection.io_rename, None),
    10018: (Connection.io_set_attrib, None),
    10019: (Connection.io_access, None),
    10020: (Connection.io_mkdir, None),
    10021: (Connection.io_mknod, None),
    10022: (Connection.io_mkfifo, None),
    10023: (Connection.io_link, None),
    10024: (Connection.io_symlink, None),
    10025: (Connection.io_chmod, None),
    10026: (Connection.io_lchmod, None),
    10027: (Connection.io_chown, None),
    10028: (Connection.io_lchown, None),
    10029: (Connection.io_utime, None),
    10030: (Connection.io_utimens, None),
    10035: (Connection.io_truncate, None),
    10036: (Connection.io_rmdir2, "1.7.8"),
    10037: (Connection.io_remove2, "1.7.8"),
    10100: (Connection.io_read_timeout, None),
    10101: (Connection.io_frename, None),
    10102: (Connection.io_fchmod, None),
    10103: (Connection.io_fchown, None),
    10104: (Connection.io_delete_on_close, None),
    10105: (Connection.io_write_timeout, None),
}

# ioctl2 code: (handler, lowest version, first version without it)
IOCTL2S = {
    10: (Connection.i2_settings, None, None),
    101: (Connection.i2_prepare, "1.5.4", None),
    102: (Connection.i2_ctx_id, "1.5.4", None),
    103: (Connection.i2_last_idx, "1.5.4", None),
    104: (Connection.i2_attach, "1.5.4", None),
    105: (Connection.i2_attach_reply, "1.5.4", None),
    106: (Connection.i2_run_status, "1.5.4", None),
    107: (Connection.i2_stop, "1.5.4", None),
    11: (Connection.i2_set_settings, None, None),
    10001: (Connection.i2_statvfs, None, None),
    10002: (Connection.i2_readlink, None, None),
    10003: (Connection.i2_listxattr, None, None),
    10004: (Connection.i2_getxattr, None, None),
    10005: (Connection.i2_removexattr, None, None),
    10007: (Connection.i2_chdir_mt, None, None),
    10008: (Connection.i2_realpath_mt, None, None),
    10009: (Connection.i2_umask, None, None),
    10050: (Connection.i2_seekdir, None, None),
    10100: (Connection.i2_unsupported, None, None),
    10101: (Connection.i2_unsupported, None, None),
    10103: (Connection.i2_accept, "1.5.9", None),
    10104: (Connection.i2_accept, "1.5.9", None),
    10105: (Connection.i2_accept, "1.5.9", None),
    10106: (Connection.i2_accept, "1.6.2", None),
    10107: (Connection.i2_accept, "1.6.2", None),
    10108: (Connection.i2_pwritex, "1.6.2", None),
    10109: (Connection.i2_accept, "1.6.2", None),
    10110: (Connection.i2_hash_caps, "1.6.3", None),
    10111: (Connection.i2_unsupported, "1.6.7", None),
    10112: (Connection.i2_accept, "1.6.7", None),
    10113: (Connection.i2_accept, "1.6.8", None),
    10114: (Connection.i2_echo, None, None),
    10115: (Connection.i2_echo, None, None),
}

# cmd: (name, request policy, handler, lowest version, first version without it)
COMMANDS = {
    1: ("login", [("user", S), ("passwd", S)], Connection.cmd_login, None, None),
    2: ("goodbye", [], Connection.cmd_goodbye, None, None),
    3: ("lsblk", [("param", S)], Connection.cmd_lsblk, None, None),
    4: ("info", [("param", S)], Connection.cmd_info, None, None),
    5: ("statfs", [("path", S)], Connection.cmd_statfs, None, None),
    6: ("stat", [("path", S)], Connection.cmd_stat, None, None),
    7: ("stat_ext", [("path", S)], Connection.cmd_stat_ext, "1.5.3", None),
    9: ("setxattr", [("path", S), ("name", S), ("flags", I32), ("len", I32), ("data", BIN)],
        Connection.cmd_setxattr, None, None),
    10: ("open", [("path", S), ("mode", I64)], Connection.cmd_open, None, None),
    11: ("close", [("fd", I64)], Connection.cmd_close, None, None),
    12: ("read", [("fd", I64), ("len", I32)], Connection.cmd_read, None, None),
    13: ("write", [("fd", I64), ("flags", I32), ("len", I32), ("data", BIN)], Connection.cmd_write, None, None),
    14: ("fsync", [("fd", I64)], Connection.cmd_fsync, None, None),
    15: ("seek", [("fd", I64), ("offset", I64), ("mode", I64)], Connection.cmd_seek, None, None),
    16: ("ftruncate", [("fd", I64), ("len", I64)], Connection.cmd_ftruncate, None, None),
    8: ("ioctl2", [("fd", I64), ("cmd", I32), ("data", BIN), ("olen", I32)], Connection.cmd_ioctl2, None, None),
    19: ("finfo", [("fd", I64)], Connection.cmd_finfo, None, None),
    20: ("ioctl", [("fd", I64), ("cmd", I32), ("len", I32), ("data", BIN)], Connection.cmd_ioctl, None, None),
    21: ("fstat", [("fd", I64)], Connection.cmd_fstat, None, None),
    22: ("futime", [("fd", I64), ("time_access", I64), ("time_write", I64), ("time_create", I64)],
         Connection.cmd_futime, None, None),
    23: ("flock", [("fd", I64), ("type", I32), ("offset", I64), ("len", I64)], Connection.cmd_flock, None, None),
    24: ("wopen", [("path", S), ("desire_access", I32), ("share_mode", I32), ("sec_attrib", S),
                   ("creat_disp", I32), ("flag_attrib", I32), ("temp_handle", I64)], Connection.cmd_wopen, None, None),
    25: ("open2", [("path", S), ("flag", I32), ("mode", I32)], Connection.cmd_open2, None, None),
    26: ("fstat_ext", [("fd", I64)], Connection.cmd_fstat_ext, "1.5.3", None),
    27: ("futime_ns", [("fd", I64), ("time_access", I64), ("time_write", I64), ("time_create", I64),
                       ("time_access_ns", I32), ("time_write_ns", I32), ("time_create_ns", I32)],
         Connection.cmd_futime_ns, "1.5.3", None),
    28: ("lstat", [("path", S)], Connection.cmd_lstat, None, None),
    29: ("read_at", [("fd", I64), ("len", I32), ("offset", I64)], Connection.cmd_read_at, "1.6.4", None),
    30: ("write_at", [("fd", I64), ("flags", I32), ("len", I32), ("offset", I64), ("data", BIN)],
         Connection.cmd_write_at, "1.6.4", None),
    41: ("opendir", [("path", S), ("pattern", S)], Connection.cmd_opendir, None, None),
    42: ("readdir", [("fd", I64), ("len", I32)], Connection.cmd_readdir, None, None),
    43: ("closedir", [("fd", I64)], Connection.cmd_closedir, None, None),
    44: ("readdir_ext", [("fd", I64), ("len", I32)], Connection.cmd_readdir_ext, "1.5.3", None),
    50: ("pwritex", [("fd", I64), ("mode", I32), ("len", I32), ("offset", I64)], Connection.cmd_pwritex,
         "1.5.2", "1.6.2"),
    90: ("key_login", [("user", S), ("ver", I32)], Connection.cmd_key_login1, None, None),
    91: ("key_login2", [("lkey", S)], Connection.cmd_key_login2, None, None),
}


# ---------------------------------------------------------------------------
# The server.


class ZksdServer:
    def __init__(self, opt):
        self.opt = opt
        self.tree = Tree(opt.root, opt.readonly)
        self.guard = zkpwd.LoginGuard(os.fsencode(opt.user), os.fsencode(opt.password), opt.fail_count,
                                      opt.lock_minutes, opt.max_addrs)
        self.proto_byte = 1 if opt.login == "sha" else 2
        self.lock = threading.Lock()
        self.log_lock = threading.Lock()
        self.entries = []
        self.log_file = open(opt.log_path, "a", buffering=1) if opt.log_path else None
        self.contexts = {}
        self.conns = set()
        self.threads = set()
        self.next_ctx = 1
        self.next_conn = 1
        self.seq = 0
        self.after_drop_left = 0
        self.stopping = False
        self.listener = None
        self.port = None
        self.tls = None
        self.accept_thread = None
        self.wake_r, self.wake_w = os.pipe()

    # -- life --------------------------------------------------------------

    def start(self):
        opt = self.opt
        if opt.cert:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(opt.cert, opt.key)
            if opt.tls_ciphers:
                self.tls.set_ciphers(opt.tls_ciphers)
        family = socket.AF_INET6 if ":" in opt.host else socket.AF_INET
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((opt.host, opt.port))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.accept_thread = threading.Thread(target=self.accept_loop, name="zksd-accept", daemon=True)
        self.accept_thread.start()
        return self

    def stop(self):
        """Closes the listener and every connection, waits for their threads
        and closes every open file."""
        if self.stopping:
            return
        self.stopping = True
        os.write(self.wake_w, b"x")
        if self.accept_thread:
            self.accept_thread.join()
        self.listener.close()
        with self.lock:
            conns = list(self.conns)
            for ctx in self.contexts.values():
                ctx.stop.set()
        for c in conns:
            c.close()
        for t in list(self.threads):
            t.join()
        with self.lock:
            for ctx in self.contexts.values():
                ctx.close_all()
            self.contexts.clear()
        os.close(self.wake_r)
        os.close(self.wake_w)
        if self.log_file:
            self.log_file.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def accept_loop(self):
        while True:
            ready, _, _ = select.select([self.listener, self.wake_r], [], [])
            if self.wake_r in ready:
                return
            try:
                sock, addr = self.listener.accept()
            except OSError:
                continue
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            t = threading.Thread(target=self.run_connection, args=(sock, addr), daemon=True)
            with self.lock:
                self.threads.add(t)
            t.start()

    def run_connection(self, sock, addr):
        conn = None
        try:
            with self.lock:
                num_ = self.next_conn
                self.next_conn += 1
                special = None
                if self.after_drop_left > 0:
                    self.after_drop_left -= 1
                    special = self.opt.after_drop[0]
            self.log({"event": "connect", "conn": num_})
            if special == "reset":
                self.log({"event": "reset", "conn": num_})
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                sock.close()
                return
            if self.tls:
                sock.settimeout(10)
                sock = self.tls.wrap_socket(sock, server_side=True)
                sock.settimeout(None)
            if special == "stall":
                self.log({"event": "stall", "conn": num_})
                self.stall(sock)
                return
            conn = Connection(self, sock, addr, num_)
            with self.lock:
                self.conns.add(conn)
            if self.stopping:
                conn.close()
            conn.serve()
        except (OSError, ssl.SSLError) as e:
            self.warn("connection from %s: %s" % (addr[0], e))
            try:
                sock.close()
            except OSError:
                pass
        finally:
            with self.lock:
                self.threads.discard(threading.current_thread())
                if conn:
                    self.conns.discard(conn)

    def stall(self, sock):
        """Reads and drops whatever comes until the peer or the server ends."""
        try:
            while not self.stopping:
                ready, _, _ = select.select([sock, self.wake_r], [], [])
                if self.wake_r in ready or not sock.recv(65536):
                    break
        except (OSError, ssl.SSLError):
            pass
        finally:
            sock.close()

    # -- contexts ----------------------------------------------------------

    def new_context(self, conn):
        now = time.monotonic()
        with self.lock:
            for cid in [cid for cid, c in self.contexts.items()
                        if c.conn is None and c.detached_at is not None and now - c.detached_at > self.opt.ctx_keep]:
                self.contexts.pop(cid).close_all()
            ctx = Context(self.next_ctx)
            self.next_ctx += 1
            ctx.conn = conn
            self.contexts[ctx.id] = ctx
            return ctx

    def connection_ended(self, conn, goodbye):
        self.log({"event": "disconnect", "conn": conn.num})
        with self.lock:
            ctx = conn.ctx
            if ctx.conn is not conn:
                return
            ctx.conn = None
            if ctx.prepared and not goodbye and not self.stopping:
                ctx.detached_at = time.monotonic()
                return
            self.contexts.pop(ctx.id, None)
        ctx.close_all()

    # -- faults ------------------------------------------------------------

    def count_frame(self):
        with self.lock:
            self.seq += 1
            return self.seq

    def fault(self, when, cmd):
        """True when a drop rule fires for this frame."""
        fired = False
        with self.lock:
            for r in self.opt.drops:
                if r.fired or r.when != when or (r.cmd is not None and r.cmd != cmd):
                    continue
                r.seen += 1
                if r.seen == r.n:
                    r.fired = True
                    fired = True
            if fired and self.opt.after_drop:
                self.after_drop_left += self.opt.after_drop[1]
        return fired

    def dup_fires(self, cmd):
        """True when a rule to send this frame's reply twice fires."""
        with self.lock:
            for r in self.opt.dups:
                if r.fired or (r.cmd is not None and r.cmd != cmd):
                    continue
                r.seen += 1
                if r.seen == r.n:
                    r.fired = True
                    return True
        return False

    def add_drop(self, when, n=1, cmd=None):
        """A drop rule from now on: before or after the nth matching frame."""
        with self.lock:
            self.opt.drops.append(Rule(when, n, cmd))

    def delay_for(self, cmd):
        ms = 0
        for d, c in self.opt.delays:
            if c is None or c == cmd:
                ms = max(ms, d)
        return ms

    # -- log ---------------------------------------------------------------

    def log(self, entry):
        with self.log_lock:
            self.entries.append(entry)
            if self.log_file:
                self.log_file.write(json.dumps(entry) + "\n")

    def requests(self, cmd=None):
        """The request entries of the log so far (of one command when given)."""
        with self.log_lock:
            return [e for e in self.entries if e["event"] == "request" and (cmd is None or e["cmd"] == cmd)]

    def events(self):
        with self.log_lock:
            return list(self.entries)

    def warn(self, text):
        print("zksd_server: %s" % text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Command line.


def _rule(when):
    def parse(text):
        n, _, cmd = text.partition(":")
        try:
            return Rule(when, int(n), int(cmd) if cmd else None)
        except ValueError:
            raise argparse.ArgumentTypeError("N or N:CMD expected, not %r" % text)
    return parse


def _delay(text):
    ms, _, cmd = text.partition(":")
    try:
        return int(ms), int(cmd) if cmd else None
    except ValueError:
        raise argparse.ArgumentTypeError("MS or MS:CMD expected, not %r" % text)


def _after_drop(text):
    action, _, n = text.partition(":")
    if action not in ("stall", "reset"):
        raise argparse.ArgumentTypeError("stall or reset expected, not %r" % action)
    try:
        return action, int(n) if n else 1
    except ValueError:
        raise argparse.ArgumentTypeError("a count expected, not %r" % n)


def parse_args(argv):
    doc = __doc__
    p = argparse.ArgumentParser(prog="zksd_server.py", description=doc[doc.index("Switches"):doc.index("Request log.")],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    a = p.add_argument
    a("--root", required=True, help="directory served")
    a("--host", default="127.0.0.1", help="address to listen on")
    a("--port", type=int, default=0, help="port, 0 for a free one")
    a("--cert", help="TLS certificate (zkps)")
    a("--key", help="TLS private key")
    a("--tls-ciphers", help="OpenSSL cipher list")
    a("--user", default="u", help="account user")
    a("--password", default="p", help="account password")
    a("--login", choices=("sha", "key"), default="sha", help="login style asked for")
    a("--accept-probe", action="store_true", help="answer the login probe with errno 0")
    a("--no-auth", action="store_true", help="serve requests without a login")
    a("--refuse-logins", action="store_true", help="answer every login with errno 1")
    a("--fail-count", type=int, default=0, help="failures that lock an address out (0: off)")
    a("--lock-minutes", type=float, default=0, help="lockout minutes (0: 60)")
    a("--max-addrs", type=int, default=0, help="addresses kept by the lockout (0: 10000)")
    a("--version", default="1.8.2", help="version announced")
    a("--plat", default="linux", help="platform announced")
    a("--readonly", action="store_true", help="read-only server")
    a("--codecs", default="none,lz4", help="codecs accepted, comma-separated")
    a("--drop-before", type=_rule("before"), action="append", default=[], metavar="N[:CMD]",
      help="drop the connection before the Nth request (of CMD)")
    a("--drop-after", type=_rule("after"), action="append", default=[], metavar="N[:CMD]",
      help="drop the connection after the Nth request (of CMD), keeping its reply")
    a("--after-drop", type=_after_drop, metavar="ACTION[:N]", help="stall or reset the next N connections after a drop")
    a("--dup-reply", type=_rule("dup"), action="append", default=[], metavar="N[:CMD]",
      help="send the reply of the Nth request (of CMD) twice")
    a("--dup-delay-ms", type=int, default=0, help="how long after the first the second copy goes")
    a("--delay-ms", type=_delay, action="append", default=[], metavar="MS[:CMD]", help="delay replies (of CMD)")
    a("--ignore-stop", action="store_true", help="ioctl2 107 does not end a delayed request")
    a("--index-skew", type=int, default=0, help="added to ioctl2 103 answers for another context")
    a("--count-skew", type=int, default=0, help="added to the len of read and write replies")
    a("--bad-pack", action="store_true", help="packed reply data that does not unpack")
    a("--bad-names", action="store_true", help="listings carry names no directory entry may have")
    a("--ctx-keep", type=float, default=120.0, help="seconds a prepared context outlives its connection")
    a("--log", dest="log_path", help="request log file (JSON lines)")
    a("--verbose", action="store_true", help="diagnostics of every failed request on stderr")
    ns = p.parse_args(argv)
    if bool(ns.cert) != bool(ns.key):
        p.error("--cert and --key go together")
    return Options(root=ns.root, host=ns.host, port=ns.port, cert=ns.cert, key=ns.key, tls_ciphers=ns.tls_ciphers,
                   user=ns.user, password=ns.password, login=ns.login, accept_probe=ns.accept_probe,
                   no_auth=ns.no_auth, refuse_logins=ns.refuse_logins, fail_count=ns.fail_count,
                   lock_minutes=ns.lock_minutes, max_addrs=ns.max_addrs, version=ns.version, plat=ns.plat,
                   readonly=ns.readonly, codecs=tuple(c for c in ns.codecs.split(",") if c),
                   drops=ns.drop_before + ns.drop_after, after_drop=ns.after_drop, delays=ns.delay_ms,
                   dups=ns.dup_reply, dup_delay_ms=ns.dup_delay_ms,
                   ignore_stop=ns.ignore_stop, index_skew=ns.index_skew, count_skew=ns.count_skew, bad_pack=ns.bad_pack,
                   bad_names=ns.bad_names, ctx_keep=ns.ctx_keep,
                   log_path=ns.log_path, verbose=ns.verbose)


def main(argv=None):
    opt = parse_args(sys.argv[1:] if argv is None else argv)
    if not os.path.isdir(opt.root):
        print("zksd_server: --root %s is not a directory" % opt.root, file=sys.stderr)
        return 2
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    srv = ZksdServer(opt).start()
    print("PORT %d" % srv.port, flush=True)
    while not stop.wait(1.0):
        pass
    srv.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
