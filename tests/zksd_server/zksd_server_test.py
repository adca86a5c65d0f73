#!/usr/bin/env python3
"""The zksd test server against a small client written here from the same
protocol: frames byte for byte, the table rules, both logins and the lockout,
files across several lz4 blocks, listings across several blocks, the text
ioctls, version gates, confinement beneath the root, recovery after dropped
connections, TLS, and the program's command line."""
import hashlib
import json
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import zkpack  # noqa: E402
import zkpwd  # noqa: E402
import zkwire as W  # noqa: E402
from zksd_server import Options, ZksdServer  # noqa: E402

S, I32, I64, BIN = W.T_STRING, W.T_INT32, W.T_INT64, W.T_BINARY


class ServerError(Exception):
    def __init__(self, errno_, text):
        super().__init__("errno %d: %s" % (errno_, text))
        self.errno = errno_
        self.text = text


class Client:
    """A zksd client for the tests: one request, one reply, fields by name."""

    def __init__(self, port, tls=False, timeout=5.0):
        self.port, self.tls, self.timeout = port, tls, timeout
        self.sock = self.open_socket()
        self.proto = None
        self.codec = zkpack.NoneCodec()
        self.send_count = 0
        self.lkey = b""
        self.version = None

    def open_socket(self):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=self.timeout)
        if self.tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            sock = ctx.wrap_socket(sock)
        return sock

    def close(self):
        self.sock.close()

    def send(self, cmd, fields):
        m = W.Message()
        for ftype, name, value in fields:
            if ftype == I64:
                m.add_i64(name, value)
            elif ftype == I32:
                m.add_i32(name, value)
            elif ftype == S:
                m.add_str(name, value)
            else:
                m.add_bin(name, value)
        self.sock.sendall(m.frame(cmd))
        self.send_count += 1

    def recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            got = self.sock.recv(n - len(buf))
            if not got:
                raise ConnectionError("closed after %d of %d bytes" % (len(buf), n))
            buf += got
        return buf

    def recv_fields(self):
        proto, cmd, word, padded = W.split_head(self.recv_exact(8))
        if self.proto is None:
            self.proto = proto
        body = self.recv_exact(padded - 4)
        return {f.name.decode(): f for f in W.parse_all(body[:(word & 0xFFFFFF) - 4])}

    @staticmethod
    def checked(fields):
        errno_ = fields["errno"].int()
        if errno_:
            raise ServerError(errno_, fields["errno_str"].text().decode())
        return fields

    def recv(self):
        return self.checked(self.recv_fields())

    def call(self, cmd, *fields):
        self.send(cmd, fields)
        try:
            reply = self.recv_fields()
        except (ConnectionError, socket.timeout):
            if self.recovery is None:
                raise
            reply = self.recover(cmd, fields)
        return self.checked(reply)

    recovery = None  # the server context id while recovery is on

    def enable_recovery(self):
        self.ioctl2(0, 101, b"0\0")
        self.recovery = int(self.ioctl2(0, 102))
        self.recoveries = []

    def recover(self, cmd, fields):
        """Reconnects, attaches to the server context and reads the
        interrupted request's reply, sent again (104) or kept (105). Frames
        sent here do not count."""
        count, ctx_id = self.send_count, b"%d\0" % self.recovery
        self.recovery = None
        self.sock.close()
        self.sock = self.open_socket()
        self.login()
        self.ioctl2(0, 107, ctx_id)
        if self.ioctl2(0, 106, ctx_id) == b"1":
            raise ConnectionError("the old request still runs")
        idx = int(self.ioctl2(0, 103, ctx_id))
        if idx == count:
            self.send(8, [(I64, "fd", 0), (I32, "cmd", 105), (BIN, "data", ctx_id), (I32, "olen", 0)])
            self.recoveries.append(105)
        elif count == idx + 1:
            self.ioctl2(0, 104, ctx_id)
            self.send(cmd, fields)
            self.recoveries.append(104)
        else:
            raise ConnectionError("sent %d, the server handled %d" % (count, idx))
        reply = self.recv_fields()
        self.send_count = int(self.ioctl2(0, 103, b"0\0")) + 1
        self.recovery = int(ctx_id[:-1])
        return reply

    # -- session -------------------------------------------------------------

    def login(self, user=b"u", pwd=b"p"):
        try:
            self.call(1, (S, "user", b":"), (S, "passwd", b""))
            return "probe"
        except ServerError as e:
            if e.errno != 1:
                raise
        if self.proto == 1:
            self.call(1, (S, "user", user), (S, "passwd", zkpwd.password_hash(pwd)))
            return "sha"
        r = self.call(90, (S, "user", user), (I32, "ver", 1))
        self.lkey = zkpwd.login_key(user, pwd, r["cert"].text())
        self.call(91, (S, "lkey", self.lkey))
        return "key"

    def set_codec(self, name):
        self.ioctl(0, 10001, name.encode() + b"\0")
        self.codec = zkpack.new(name)

    def info(self):
        text = self.call(4, (S, "param", b""))["info"].text().decode()
        return dict(line.split("=", 1) for line in text.splitlines())

    def connect(self, codec="lz4", user=b"u", pwd=b"p"):
        style = self.login(user, pwd)
        self.set_codec(codec)
        self.version = self.info()["ver"].strip("[]")
        return style

    def ioctl(self, fd, code, data):
        return self.call(20, (I64, "fd", fd), (I32, "cmd", code), (I32, "len", len(data)), (BIN, "data", data))

    def ioctl2(self, fd, code, data=b"", olen=4096):
        r = self.call(8, (I64, "fd", fd), (I32, "cmd", code), (BIN, "data", data), (I32, "olen", olen))
        return bytes(r["data"].value[:olen])

    # -- files -----------------------------------------------------------

    def open(self, path, pf):
        return self.call(10, (S, "path", path), (I64, "mode", pf))["fd"].int()

    def close_file(self, fd):
        self.call(11, (I64, "fd", fd))

    def read(self, fd, n, block, offset=None):
        """Reads n bytes in pieces of block bytes (command 29 at an offset,
        else 12); stops at a short piece. Returns (data, requests sent)."""
        out = b""
        sent = 0
        while True:
            piece = min(n - len(out), block)
            if offset is None:
                r = self.call(12, (I64, "fd", fd), (I32, "len", piece))
            else:
                r = self.call(29, (I64, "fd", fd), (I32, "len", piece), (I64, "offset", offset + len(out)))
            sent += 1
            data = self.codec.unpack(r["data"].value, piece)
            assert data is not None and len(data) == r["len"].int(), "unpack failed"
            out += data
            if len(out) >= n or len(data) < piece:
                return out, sent

    def write(self, fd, data, block, offset=None):
        done = 0
        while done < len(data):
            piece = data[done:done + block]
            packed = zkpack.pack(self.codec, piece)
            if offset is None:
                r = self.call(13, (I64, "fd", fd), (I32, "flags", 0), (I32, "len", len(piece)), (BIN, "data", packed))
            else:
                r = self.call(30, (I64, "fd", fd), (I32, "flags", 0), (I32, "len", len(piece)),
                              (I64, "offset", offset + done), (BIN, "data", packed))
            n = r["len"].int()
            done += n
            if n < len(piece):
                break
        return done

    def stat(self, path, cmd=7):
        r = self.call(cmd, (S, "path", path))
        return {k: f.int() for k, f in r.items() if f.ftype in (I32, I64)}

    def listdir(self, path, block, cmd=44, pattern=b""):
        """Every line of a listing as a list of fields; (lines, blocks)."""
        fd = self.call(41, (S, "path", path), (S, "pattern", pattern))["fd"].int()
        lines, blocks = [], 0
        try:
            while True:
                r = self.call(cmd, (I64, "fd", fd), (I32, "len", block))
                blocks += 1
                text = self.codec.unpack(r["data"].value, block)
                assert text is not None and len(text) == r["len"].int() and text.endswith(b"\0"), text
                for line in text[:-1].split(b"\n")[:-1]:
                    if line == b"":
                        return lines, blocks
                    lines.append(line.split(b"\t"))
        finally:
            self.call(43, (I64, "fd", fd))


def names_of(lines):
    return [f[-2] for f in lines]


class ServerCase(unittest.TestCase):
    """A server over a fresh directory; clients made by self.client()."""

    options = {}

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zksd_srv_")
        self.root = os.path.join(self.tmp, "root")
        os.mkdir(self.root)
        self.srv = None
        self.clients = []
        if self.options is not None:
            self.start(**self.options)

    def tearDown(self):
        for c in self.clients:
            c.close()
        if self.srv:
            self.srv.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, **kw):
        if self.srv:
            self.srv.stop()
        self.srv = ZksdServer(Options(root=self.root, **kw)).start()
        return self.srv

    def client(self, connect=True, **kw):
        c = Client(self.srv.port, **kw)
        self.clients.append(c)
        if connect:
            c.connect()
        return c

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write_file(self, rel, data):
        with open(self.path(rel), "wb") as f:
            f.write(data)


def hexb(text):
    return bytes.fromhex(text.replace(" ", ""))


class Encoding(unittest.TestCase):
    """Frames, table rules and known answers, without a server."""

    def test_worked_frames_byte_for_byte(self):
        close = W.Message().add_i64("fd", 5)
        probe = W.Message().add_str("user", b":").add_str("passwd", b"")
        codec = W.Message().add_i64("fd", 0).add_i32("cmd", 10001).add_i32("len", 4).add_bin("data", b"lz4\0")
        cases = [
            (close.frame(11), "5A 4B 01 0B 02 00 00 18 85 00 00 14 00 02 66 64 00 00 00 00 00 00 00 00 00 00 00 05"),
            (W.Message().frame(2), "5A 4B 01 02 02 00 00 04"),
            (probe.frame(1), "5A 4B 01 01 02 00 00 28 84 00 00 0E 00 04 75 73 65 72 00 00 3A 00 00 00 84 00 00 11 "
                             "00 06 70 61 73 73 77 64 00 00 00 00 00 00 00 00"),
            (codec.frame(20), "5A 4B 01 14 02 00 00 48 85 00 00 14 00 02 66 64 00 00 00 00 00 00 00 00 00 00 00 00 "
                              "86 00 00 10 00 03 63 6D 64 00 00 00 00 00 27 11 86 00 00 10 00 03 6C 65 6E 00 00 00 "
                              "00 00 00 04 83 00 00 10 00 04 64 61 74 61 00 00 6C 7A 34 00"),
        ]
        for got, want in cases:
            self.assertEqual(got, hexb(want))
        self.assertEqual([W.header_len(n) for n in (1, 2, 5, 6, 9, 10)], [4, 8, 8, 12, 12, 16])

    def test_trimmed_binary_field_keeps_the_table_whole(self):
        m = W.Message().add_i64("fd", 1)
        off = m.alloc_bin("data", 300)
        m.buf[off:off + 3] = b"abc"
        m.trim_last(3)
        m.add_i32("len", 3)
        f = {x.name: x for x in W.parse_all(m.root()[4:])}
        self.assertEqual((bytes(f[b"data"].value), f[b"len"].int()), (b"abc", 3))
        self.assertEqual(struct.unpack(">I", m.root()[:4])[0] & 0xFFFFFF, len(m.buf))

    def test_table_rules(self):
        def field(ftype, name, value, ext=True):
            h = W.header_len(len(name))
            raw = 4 + h + len(value)
            word = (0x80000000 if ext else 0) | ftype << 24 | raw
            body = struct.pack(">IH", word, len(name)) + name + b"\0" * (h - 2 - len(name)) + value
            return body + b"\0" * (W.pad4(raw) - raw)

        i32 = struct.pack(">i", 7)
        policy = [("errno", I32), ("errno_str", S), ("len", I32)]
        ok = field(I32, b"errno", struct.pack(">i", 0)) + field(S, b"errno_str", b"\0")
        cases = [
            ("plain", ok + field(I32, b"len", i32), 7),
            ("first of two wins", ok + field(I32, b"len", i32) + field(I32, b"len", struct.pack(">i", 9)), 7),
            ("int32 of 3 bytes fails the parse", ok + field(I32, b"len", i32) + field(I32, b"len", b"\0\0\1"), "error"),
            ("string without NUL", field(I32, b"errno", i32) + field(S, b"errno_str", b"x"), "error"),
            ("unknown names skipped unchecked",
             ok + field(I32, b"xy", b"\0") + field(S, b"zz", b"no NUL") + field(I32, b"len", i32), 7),
            ("other type under the name skipped", ok + field(W.T_INT64, b"len", b"\0" * 8) + field(I32, b"len", i32), 7),
            ("non-extended attribute skipped", ok + field(I32, b"len", struct.pack(">i", 1), ext=False)
             + field(I32, b"len", i32), 7),
            ("too short for its name length", ok + struct.pack(">I", 0x86000005) + b"\0\0\0\0", "error"),
            ("trailing bytes ignored", ok + field(I32, b"len", i32) + b"\0\0", 7),
            ("missing row left empty", ok, None),
        ]
        for name, payload, want in cases:
            with self.subTest(name):
                if want == "error":
                    self.assertRaises(W.ParseError, W.parse, policy, payload)
                    continue
                tb = W.parse(policy, payload)
                self.assertEqual(tb[2] and tb[2].int(), want)

    def test_frame_heads(self):
        self.assertEqual(W.split_head(hexb("5A 4B 01 0B 02 00 00 18"))[3], 24)
        for head, text in [("5A 4C 01 0B 02 00 00 18", "magic error 5a 4c"),
                           ("4B 4B 01 0B 02 00 00 18", "magic error 4b 4b"),
                           ("5A 4B 01 0B 02 00 00 03", "root length 3 below 4")]:
            with self.assertRaises(W.FrameError) as cm:
                W.split_head(hexb(head))
            self.assertEqual(str(cm.exception), text)

    def test_codec_and_password_known_answers(self):
        lz4 = zkpack.new("lz4")
        self.assertEqual(zkpack.pack(lz4, b"").hex(), "00")
        self.assertEqual(zkpack.pack(lz4, b"hello").hex(), "5068656c6c6f")
        self.assertEqual(zkpack.pack(lz4, b"a" * 1000).hex(), "1f610100ffffffd2506161616161")
        self.assertIsNone(lz4.unpack(zkpack.pack(lz4, b"a" * 1000), 999))
        self.assertEqual([zkpack.bound(n) for n in (0, 255, 0x10000, 0x7E000000, 0x7E000001)],
                         [16, 272, 65809, 2122219150, 0])
        self.assertIsNone(zkpack.new("LZ4"))
        self.assertEqual(zkpwd.password_hash(b"abc"), b"{SHA}qZk+NkcGgWq6PiVxeFDCbJzQ2J0=")
        self.assertEqual(zkpwd.password_hash(b""), b"")
        key = zkpwd.login_key(b"u", b"p", b"0" * 256)
        self.assertEqual(key, b"633172787df56bc031756dfa0aaf61bba179f724")
        self.assertEqual(zkpwd.login_key(b"admin", b"secret", b"ab" * 128), b"4e43b72887e648e4685ce4cf25d28863ac51643a")
        self.assertEqual((zkpwd.encode_value(b"admin", key), zkpwd.encode_value(b"secret", key)),
                         (b"gTswP/I=", b"kzo+JPnl"))
        self.assertEqual(zkpwd.rc4(b"Key", b"Plaintext").hex(), "bbf316e8d940af0ad3")


class Login(ServerCase):
    options = None

    def commands(self):
        return [(e["cmd"], e.get("user"), e["errno"]) for e in self.srv.requests()]

    def test_both_login_styles(self):
        log = os.path.join(self.tmp, "requests.log")
        for style, proto, cmds in [("sha", 1, [(1, ":", 1), (1, "u", 0)]),
                                   ("key", 2, [(1, ":", 1), (90, "u", 0), (91, None, 0)])]:
            with self.subTest(style):
                self.start(login=style, password="s3cr3t", log_path=log)
                c = self.client(connect=False)
                self.assertEqual(c.login(pwd=b"s3cr3t"), style)
                self.assertEqual(c.proto, proto)
                self.assertEqual(self.commands(), cmds)
                for pwd in (b"wrong", b""):
                    with self.assertRaises(ServerError) as cm:
                        self.client(connect=False).login(pwd=pwd)
                    self.assertEqual((cm.exception.errno, cm.exception.text), (1, "Wrong user or password"))
                with self.assertRaises(ServerError) as cm:
                    self.client(connect=False).login(user=b"x", pwd=b"s3cr3t")
                self.assertEqual(cm.exception.errno, 1)
        self.srv.stop()
        self.srv = None
        with open(log) as f:
            text = f.read()
        self.assertNotIn("s3cr3t", text)
        self.assertNotIn(zkpwd.password_hash(b"s3cr3t").decode(), text)
        self.assertIn('"cmd": 91', text)

    def test_the_plain_password_is_taken_too(self):
        self.start()
        c = self.client(connect=False)
        c.call(1, (S, "user", b"u"), (S, "passwd", b"p"))
        self.assertEqual(c.info()["ver"], "[1.8.2]")

    def test_probe_accepted_needs_no_second_login(self):
        self.start(accept_probe=True)
        self.assertEqual(self.client(connect=False).login(), "probe")
        self.assertEqual(self.commands(), [(1, ":", 0)])

    def test_requests_before_login_are_refused(self):
        self.start()
        c = self.client(connect=False)
        with self.assertRaises(ServerError) as cm:
            c.stat(b"/")
        self.assertEqual(cm.exception.errno, -38)

    def test_refused_logins(self):
        self.start(refuse_logins=True)
        with self.assertRaises(ServerError) as cm:
            self.client(connect=False).login()
        self.assertEqual(cm.exception.errno, 1)

    def test_lockout_after_failures_in_both_styles(self):
        for style in ("sha", "key"):
            with self.subTest(style):
                self.start(login=style, fail_count=3, lock_minutes=60)
                now = [1000.0]
                self.srv.guard.clock = lambda: now[0]
                for _ in range(3):
                    self.assertRaises(ServerError, self.client(connect=False).login, pwd=b"bad")
                with self.assertRaises(ServerError) as cm:
                    self.client(connect=False).login()
                self.assertEqual((cm.exception.errno, cm.exception.text),
                                 (2, "Login failed 3 times, Please try again in 60.00 minutes"))
                now[0] += 30 * 60000
                with self.assertRaises(ServerError) as cm:
                    self.client(connect=False).login()
                self.assertIn("30.00 minutes", cm.exception.text)
                now[0] += 30 * 60000
                self.assertEqual(self.client(connect=False).login(), style)
                # a success forgets the failures: two more are not a lockout
                for _ in range(2):
                    self.assertRaises(ServerError, self.client(connect=False).login, pwd=b"bad")
                self.assertEqual(self.client(connect=False).login(), style)

    def test_probe_is_no_counted_failure(self):
        self.start(fail_count=1)
        for _ in range(3):
            self.assertEqual(self.client(connect=False).login(), "sha")


class Files(ServerCase):
    options = {}
    BLOCK = 65536

    def test_round_trip_across_several_blocks(self):
        data = os.urandom(2 * self.BLOCK) + b"zksd-ok\n" * (self.BLOCK // 4) + b"!"
        for codec in ("lz4", "none"):
            with self.subTest(codec):
                c = self.client(connect=False)
                c.connect(codec=codec)
                fd = c.open(b"/f-" + codec.encode(), 2 | 8 | 32)
                self.assertEqual(c.write(fd, data, self.BLOCK, offset=0), len(data))
                c.close_file(fd)
                with open(self.path("f-" + codec), "rb") as f:
                    self.assertEqual(hashlib.sha1(f.read()).digest(), hashlib.sha1(data).digest())
                fd = c.open(b"/f-" + codec.encode(), 1)
                got, sent = c.read(fd, len(data) + 10, self.BLOCK, offset=0)
                self.assertEqual((got, sent), (data, 5))
                c.close_file(fd)
        writes = self.srv.requests(30)
        self.assertEqual([e["len"] for e in writes[:5]], [self.BLOCK] * 4 + [len(data) - 4 * self.BLOCK])
        packed = {e["data_len"] for e in writes[5:]}
        self.assertLess(writes[3]["data_len"], self.BLOCK // 10)  # the text block packs under lz4
        self.assertIn(self.BLOCK, packed)  # and stays as it is under none

    def test_reads_at_the_position_and_short_pieces(self):
        self.write_file("f", b"0123456789" * 10000)
        c = self.client()
        fd = c.open(b"/f", 1)
        seek = c.call(15, (I64, "fd", fd), (I64, "offset", 99990), (I64, "mode", 0))
        self.assertEqual(seek["offset"].int(), 99990)
        got, sent = c.read(fd, 3 * 4096 + 1, 4096)
        self.assertEqual((got, sent), (b"0123456789", 1))
        r = c.call(12, (I64, "fd", fd), (I32, "len", 0))
        self.assertEqual((r["len"].int(), bytes(r["data"].value)), (0, b"\0"))  # nothing, as one lz4 block
        got, sent = c.read(fd, 5, 4096, offset=3)
        self.assertEqual(got, b"34567")
        got, _ = c.read(fd, 2, 4096)  # an offset read leaves the position after it
        self.assertEqual(got, b"89")
        info = c.call(19, (I64, "fd", fd))
        self.assertEqual((info["type"].int(), info["len"].int(), info["offset"].int()), (2, 100000, 10))

    def test_stat_replies(self):
        self.write_file("f", b"hello")
        os.symlink("f", self.path("l"))
        os.utime(self.path("f"), ns=(1700000000123456789, 1700000001000000007))
        c = self.client()
        base = ["errno", "type", "attrib_mode", "uid", "gid", "len", "time_access", "time_write", "time_create"]
        ext = base + ["time_access_ns", "time_write_ns", "time_create_ns", "st_nlink", "st_dev", "st_rdev",
                      "st_ino", "st_blksize", "st_blocks"]
        fd = c.open(b"/f", 1)
        for name, call, rows in [("stat", lambda: c.stat(b"/l", 6), base),
                                 ("stat ext", lambda: c.stat(b"/l", 7), ext),
                                 ("fstat", lambda: {k: f.int() for k, f in c.call(21, (I64, "fd", fd)).items()
                                                    if f.ftype != S}, base),
                                 ("fstat ext", lambda: {k: f.int() for k, f in c.call(26, (I64, "fd", fd)).items()
                                                        if f.ftype != S}, ext)]:
            with self.subTest(name):
                st = call()
                self.assertEqual(list(st), rows)
                self.assertEqual((st["type"], st["attrib_mode"], st["len"]), (2, 0o100644, 5))
                self.assertEqual((st["time_access"], st["time_write"]), (1700000000, 1700000001))
                if rows is ext:
                    self.assertEqual((st["time_access_ns"], st["time_write_ns"]), (123456789, 7))
        st = c.stat(b"/l", 28)
        self.assertEqual((st["type"], st["attrib_mode"] & 0o170000, len(st)), (0x102, 0o120000, 18))
        self.assertEqual(c.stat(b"/", 7)["type"], 1)
        with self.assertRaises(ServerError) as cm:
            c.stat(b"/missing")
        self.assertEqual((cm.exception.errno, cm.exception.text), (-102, "File not found. [/missing]"))

    def test_file_errors_are_negative_status_codes(self):
        self.write_file("f", b"x")
        os.mkdir(self.path("d"))
        c = self.client()
        cases = [(b"/missing", 1, -102), (b"/f/x", 1, -103), (b"/d", 2, -127), (b"/d/new/x", 2 | 8, -102)]
        for path, pf, code in cases:
            with self.subTest(path):
                with self.assertRaises(ServerError) as cm:
                    c.open(path, pf)
                self.assertEqual(cm.exception.errno, code)
        with self.assertRaises(ServerError) as cm:
            c.call(12, (I64, "fd", 99), (I32, "len", 1))
        self.assertEqual(cm.exception.errno, -4)
        with self.assertRaises(ServerError) as cm:
            c.call(12, (I64, "fd", 1))
        self.assertEqual((cm.exception.errno, cm.exception.text), (-2, "missing field [len]"))

    def test_creation_modes_and_the_open_forms(self):
        c = self.client()
        fd = c.call(25, (S, "path", b"/o2"), (I32, "flag", 2 | 4 | 64), (I32, "mode", 0o640))["fd"].int()
        c.write(fd, b"abc", 4096)
        c.close_file(fd)
        self.assertEqual(os.stat(self.path("o2")).st_mode & 0o777, 0o640)
        with self.assertRaises(ServerError) as cm:
            c.call(25, (S, "path", b"/o2"), (I32, "flag", 2 | 4 | 64), (I32, "mode", 0o640))
        self.assertEqual(cm.exception.errno, -105)
        # Windows-style: read and write access, "open always"
        fd = c.call(24, (S, "path", b"/w"), (I32, "desire_access", 0xC0000000), (I32, "share_mode", 0),
                    (S, "sec_attrib", b""), (I32, "creat_disp", 4), (I32, "flag_attrib", 0),
                    (I64, "temp_handle", 0))["fd"].int()
        self.assertEqual(c.write(fd, b"wide", 4096), 4)
        c.close_file(fd)
        self.assertEqual(os.stat(self.path("w")).st_mode & 0o777, 0o644)
        fd = c.open(b"/w", 2 | 16)  # append
        c.write(fd, b"!", 4096)
        c.call(16, (I64, "fd", fd), (I64, "len", 3))
        c.call(14, (I64, "fd", fd))
        c.close_file(fd)
        with open(self.path("w"), "rb") as f:
            self.assertEqual(f.read(), b"wid")

    def test_read_only_server(self):
        self.start(readonly=True)
        self.write_file("f", b"x")
        c = self.client()
        self.assertEqual(c.info()["readonly"], "[1]")
        for pf in (2, 4, 1 | 8, 1 | 32):
            with self.assertRaises(ServerError) as cm:
                c.open(b"/f", pf)
            self.assertEqual(cm.exception.errno, -113)
        fd = c.open(b"/f", 1)
        self.assertEqual(c.read(fd, 10, 4096)[0], b"x")


class Listing(ServerCase):
    options = {}

    def test_listing_across_several_blocks(self):
        names = sorted(b"file-%04d-%s" % (i, b"x" * (i % 17)) for i in range(300))
        for n in names:
            open(os.path.join(os.fsencode(self.root), n), "w").close()
        c = self.client()
        for cmd, width in ((44, 19), (42, 10)):
            with self.subTest(cmd):
                lines, blocks = c.listdir(b"/", 2048, cmd)
                self.assertEqual(names_of(lines), [b".", b".."] + names)
                self.assertGreater(blocks, 5)
                self.assertTrue(all(len(f) == width for f in lines))
        for e in self.srv.requests(44) + self.srv.requests(42):
            self.assertEqual(e["errno"], 0)

    def test_line_fields_links_and_patterns(self):
        self.write_file("a.txt", b"hello")
        os.utime(self.path("a.txt"), (1700000000, 1700000000))
        os.mkdir(self.path("sub"))
        os.symlink("sub", self.path("to-dir"))
        os.symlink("nowhere", self.path("dangling"))
        c = self.client()
        lines, _ = c.listdir(b"/", 4096, 42)
        by_name = {f[-2]: f for f in lines}
        self.assertEqual(by_name[b"a.txt"][:6] + by_name[b"a.txt"][7:],
                         [b"2", b"%d" % 0o100644, b"0", b"0", b"1700000000", b"1700000000", b"5", b"a.txt", b""])
        self.assertEqual((by_name[b"to-dir"][0], by_name[b"to-dir"][-1]), (b"%d" % 0x101, b"sub"))
        self.assertEqual((by_name[b"dangling"][0], by_name[b"dangling"][-1]), (b"%d" % 0x102, b"nowhere"))
        self.assertEqual(by_name[b"sub"][0], b"1")
        lines, _ = c.listdir(b"/", 4096, 44, pattern=b"*.txt")
        self.assertEqual(names_of(lines), [b"a.txt"])

    def test_end_line_in_a_block_of_its_own_and_too_small_blocks(self):
        self.write_file("f", b"")
        c = self.client()
        fd = c.call(41, (S, "path", b"/"), (S, "pattern", b"f"))["fd"].int()
        line_len = len(c.codec.unpack(c.call(42, (I64, "fd", fd), (I32, "len", 4096))["data"].value, 4096))
        fd = c.call(41, (S, "path", b"/"), (S, "pattern", b"f"))["fd"].int()
        first = c.codec.unpack(c.call(42, (I64, "fd", fd), (I32, "len", line_len - 1))["data"].value, 4096)
        self.assertTrue(first.endswith(b"\tf\t\n\0"))
        last = c.codec.unpack(c.call(42, (I64, "fd", fd), (I32, "len", line_len - 1))["data"].value, 4096)
        self.assertEqual(last, b"\n\0")
        fd = c.call(41, (S, "path", b"/"), (S, "pattern", b"f"))["fd"].int()
        with self.assertRaises(ServerError) as cm:
            c.call(42, (I64, "fd", fd), (I32, "len", 16))
        self.assertEqual(cm.exception.errno, -41)
        with self.assertRaises(ServerError) as cm:
            c.call(41, (S, "path", b"/f"), (S, "pattern", b""))
        self.assertEqual(cm.exception.errno, -103)


class Confinement(ServerCase):
    options = {}

    def test_paths_and_links_stay_beneath_the_root(self):
        outside = os.path.join(self.tmp, "outside")
        os.mkdir(outside)
        with open(os.path.join(outside, "secret"), "w") as f:
            f.write("outside")
        self.write_file("secret", b"inside")
        os.symlink("/", self.path("abs-root"))
        os.symlink("../../../..", self.path("up"))
        os.symlink(outside, self.path("abs-out"))
        os.symlink(os.path.join(outside, "secret"), self.path("abs-file"))
        c = self.client()
        for path in (b"/../../secret", b"/abs-root/secret", b"/up/secret", b"../secret", b"/up/up/abs-root/secret"):
            with self.subTest(path):
                fd = c.open(path, 1)
                self.assertEqual(c.read(fd, 100, 4096)[0], b"inside")
        for path in (b"/abs-out/secret", b"/abs-file"):
            with self.subTest(path):
                with self.assertRaises(ServerError) as cm:
                    c.open(path, 1)
                self.assertEqual(cm.exception.errno, -102)
        with self.assertRaises(ServerError):
            c.open(b"/abs-out/new", 2 | 8)
        self.assertEqual(os.listdir(outside), ["secret"])
        lines, _ = c.listdir(b"/abs-root/up/..", 4096)
        self.assertIn(b"secret", names_of(lines))
        os.symlink("loop", self.path("loop"))
        with self.assertRaises(ServerError) as cm:
            c.stat(b"/loop")
        self.assertEqual(cm.exception.errno, -156)


class VersionGates(ServerCase):
    options = None

    def test_requests_the_version_lacks_are_refused(self):
        self.write_file("f", b"data")
        cases = [  # (version, command, allowed)
            ("1.6.3", 29, False), ("1.6.4", 29, True), ("1.6.3", 30, False), ("1.6.4", 30, True),
            ("1.5.2", 7, False), ("1.5.3", 7, True), ("1.5.2", 26, False), ("1.5.2", 44, False),
            ("1.5.10", 44, True),
        ]
        for version, cmd, allowed in cases:
            with self.subTest(version=version, cmd=cmd):
                self.start(version=version)
                c = self.client()
                fd = c.open(b"/f", 4)
                dfd = c.call(41, (S, "path", b"/"), (S, "pattern", b""))["fd"].int()
                fields = {7: [(S, "path", b"/f")], 26: [(I64, "fd", fd)], 29: [(I64, "fd", fd), (I32, "len", 4),
                                                                               (I64, "offset", 0)],
                          30: [(I64, "fd", fd), (I32, "flags", 0), (I32, "len", 1), (I64, "offset", 0),
                               (BIN, "data", zkpack.pack(c.codec, b"D"))],
                          44: [(I64, "fd", dfd), (I32, "len", 4096)]}[cmd]
                try:
                    c.call(cmd, *fields)
                    self.assertTrue(allowed)
                except ServerError as e:
                    self.assertFalse(allowed)
                    self.assertEqual(e.errno, -37)
                    self.assertIn("unsupported command %d at version %s" % (cmd, version), e.text)
        self.start(version="1.5.2")
        self.assertEqual(len(self.client().stat(b"/f", 28)), 9)  # basic reply, errno included


class Ioctls(ServerCase):
    options = {}

    def io(self, c, code, text, fd=0):
        c.ioctl(fd, code, text + b"\0")

    def test_path_operations_by_text(self):
        c = self.client()
        P = self.path
        cases = [  # (code, text, check of the tree after it)
            (10020, b"/d\t493", lambda: os.stat(P("d")).st_mode == 0o40755),
            (10012, b"/d/new", lambda: os.path.getsize(P("d", "new")) == 0),
            (10013, b"/d2", lambda: os.path.isdir(P("d2"))),
            (10013, b"/d2", lambda: os.path.isdir(P("d2"))),
            (10016, b"/d/new\t/d/renamed\t1", lambda: os.listdir(P("d")) == ["renamed"]),
            (10023, b"/d/hard\t/d/renamed", lambda: os.stat(P("d", "hard")).st_nlink == 2),
            (10024, b"/d/sym\trenamed", lambda: os.readlink(P("d", "sym")) == "renamed"),
            (10025, b"/d/sym\t384", lambda: os.stat(P("d", "renamed")).st_mode & 0o777 == 0o600),
            (10027, b"/d/renamed\t1000\t4294967295", lambda: (os.stat(P("d", "renamed")).st_uid,
                                                               os.stat(P("d", "renamed")).st_gid) == (1000, 0)),
            (10028, b"/d/sym\t1001\t1001", lambda: os.lstat(P("d", "sym")).st_uid == 1001),
            (10029, b"/d/sym\t1600000000\t1600000001\t0\t5\t6\t0",
             lambda: (os.stat(P("d", "renamed")).st_atime_ns, os.stat(P("d", "renamed")).st_mtime_ns)
             == (1600000000000000005, 1600000001000000006)),
            (10035, b"/d/renamed\t10", lambda: os.path.getsize(P("d", "renamed")) == 10),
            (10022, b"/d/fifo\t420", lambda: os.stat(P("d", "fifo")).st_mode == 0o10644),
            (10021, b"/d/file\t%d\t0" % (0o100600), lambda: os.path.isfile(P("d", "file"))),
            (10019, b"/d/renamed\t4", lambda: True),
            (10015, b"/d/hard", lambda: not os.path.exists(P("d", "hard"))),
            (10014, b"/d2", lambda: not os.path.exists(P("d2"))),
            (10018, b"/d\t32", lambda: True),
            (10036, b"/d\t1", lambda: not os.path.exists(P("d"))),
        ]
        for code, text, check in cases:
            with self.subTest(code=code, text=text):
                self.io(c, code, text)
                self.assertTrue(check())
        refusals = [
            (10016, b"/missing\t/b\t1", -102), (10021, b"/dev0\t%d\t259" % 0o20600, -38), (10019, b"/missing\t0", -102),
            (10014, b"/", -138), (10020, b"/only-one-arg", -2), (10020, b"/x\tnan", -2), (10042, b"/x", -37),
        ]
        self.write_file("a", b"")
        self.write_file("b", b"")
        refusals.append((10016, b"/a\t/b\t0", -105))
        for code, text, errno_ in refusals:
            with self.subTest(code=code, text=text):
                with self.assertRaises(ServerError) as cm:
                    self.io(c, code, text)
                self.assertEqual(cm.exception.errno, errno_)

    def test_answers_of_ioctl2(self):
        self.write_file("f", b"")
        os.mkdir(self.path("sub"))
        os.symlink("f", self.path("l"))
        c = self.client()
        figures = c.ioctl2(0, 10001, b"/\0").split(b"\t")
        v = os.statvfs(self.root)
        self.assertEqual([int(x) for x in figures[:3]] + [int(figures[10])], [v.f_bsize, v.f_frsize, v.f_blocks,
                                                                             v.f_namemax])
        self.assertEqual(c.ioctl2(0, 10002, b"/l\0"), b"f")
        value = b"v" * 3000
        r = c.call(9, (S, "path", b"/f"), (S, "name", b"user.big"), (I32, "flags", 1), (I32, "len", len(value)),
                   (BIN, "data", zkpack.pack(c.codec, value)))
        self.assertEqual(r["len"].int(), 3000)
        self.assertEqual(os.getxattr(self.path("f"), "user.big"), value)
        self.assertEqual(c.ioctl2(0, 10004, b"/f\tuser.big\0"), value)
        self.assertEqual(c.ioctl2(0, 10004, b"/f\tuser.big\0", olen=10), b"v" * 10)
        self.assertEqual(c.ioctl2(0, 10003, b"/f\0"), b"user.big\0")
        self.assertEqual(c.ioctl2(0, 10003, b"/l\0"), b"")  # the link's own, not its target's
        c.ioctl2(0, 10005, b"/f\tuser.big\0")
        with self.assertRaises(ServerError) as cm:
            c.ioctl2(0, 10004, b"/f\tuser.big\0")
        self.assertEqual(cm.exception.errno, -304)
        self.assertEqual(c.ioctl2(0, 10007, b"/sub\t..\0"), b"/")
        self.assertEqual(c.ioctl2(0, 10008, b"/sub\t../l\0"), b"/f")  # links resolved
        self.assertEqual(c.ioctl2(0, 10009, b"12\0"), b"12")
        self.assertEqual(c.ioctl2(0, 10009, b"0\0"), b"12")
        self.io(c, 10020, b"/open\t511")
        self.assertEqual(os.stat(self.path("open")).st_mode & 0o777, 0o777)
        self.assertEqual(c.ioctl2(0, 10110), b"3ff")
        self.assertEqual(c.ioctl2(0, 10114, b"echo"), b"echo")
        self.assertIn(b"user=u\n", c.ioctl2(0, 10))

    def test_open_file_operations(self):
        self.write_file("f", b"0123456789")
        c = self.client()
        fd = c.open(b"/f", 4)
        for code, text in ((10102, b"416"), (10103, b"7\t8"), (10100, b"14000"), (10105, b"8000")):
            self.io(c, code, text, fd)
        st = os.stat(self.path("f"))
        self.assertEqual((st.st_mode & 0o777, st.st_uid, st.st_gid), (0o640, 7, 8))
        c.call(27, (I64, "fd", fd), (I64, "time_access", 1500000000), (I64, "time_write", 0), (I64, "time_create", 0),
               (I32, "time_access_ns", 9), (I32, "time_write_ns", 0), (I32, "time_create_ns", 0))
        self.assertEqual((os.stat(self.path("f")).st_atime_ns, os.stat(self.path("f")).st_mtime), (1500000000000000009,
                                                                                                    st.st_mtime))
        c.call(23, (I64, "fd", fd), (I32, "type", 2 | 0x10), (I64, "offset", 0), (I64, "len", 5))
        c.call(23, (I64, "fd", fd), (I32, "type", 3), (I64, "offset", 0), (I64, "len", 5))
        self.assertEqual(c.ioctl2(fd, 10108, b"100\t28\0"), b"28")
        self.assertEqual(os.path.getsize(self.path("f")), 128)
        self.io(c, 10101, b"g\t0", fd)
        self.assertEqual(sorted(os.listdir(self.root)), ["g"])
        self.io(c, 10104, b"1", fd)
        c.close_file(fd)
        self.assertEqual(os.listdir(self.root), [])
        vol = c.call(5, (S, "path", b"/"))
        self.assertEqual((vol["fs_name"].text(), vol["name_len"].int()), (b"zksd", os.statvfs(self.root).f_namemax))

    def test_seekdir_restarts_the_listing_at_an_entry(self):
        for n in "abc":
            self.write_file(n, b"")
        c = self.client()
        fd = c.call(41, (S, "path", b"/"), (S, "pattern", b""))["fd"].int()
        c.ioctl2(fd, 10050, b"3\0")
        block = c.codec.unpack(c.call(44, (I64, "fd", fd), (I32, "len", 4096))["data"].value, 4096)
        self.assertEqual([ln.split(b"\t")[-2] for ln in block.split(b"\n")[:-2]], [b"b", b"c"])

    def test_settings_need_a_key_login(self):
        self.start(login="key")
        c = self.client()
        key = c.lkey
        c.ioctl2(0, 11, b"user=" + zkpwd.encode_value(b"admin", key) + b"\npasswd="
                 + zkpwd.encode_value(b"secret", key) + b"\nother=1\n\0")
        self.assertEqual(self.client(connect=False).login(b"admin", b"secret"), "key")
        self.assertNotIn("text", self.srv.requests(8)[-1])
        self.start(login="sha")
        with self.assertRaises(ServerError) as cm:
            self.client().ioctl2(0, 11, b"user=x\npasswd=y\n\0")
        self.assertEqual(cm.exception.errno, -38)

    def test_version_gates_of_the_channels(self):
        self.write_file("f", b"")
        cases = [  # (version, channel, code, text, allowed)
            ("1.7.7", 20, 10036, b"/x\t0", False), ("1.7.8", 20, 10037, b"/f\t0", True),
            ("1.6.2", 8, 10110, b"", False), ("1.6.3", 8, 10110, b"", True),
            ("1.6.1", 8, 10108, b"0\t0", False), ("1.5.8", 8, 10103, b"", False), ("1.5.9", 8, 10103, b"", True),
            ("1.6.6", 8, 10111, b"C:\\", False), ("1.6.7", 8, 10112, b"", True), ("1.6.7", 8, 10113, b"", False),
        ]
        for version, chan, code, text, allowed in cases:
            with self.subTest(version=version, code=code):
                self.write_file("f", b"")
                self.start(version=version)
                c = self.client()
                fd = c.open(b"/f", 4) if code == 10108 else 0
                try:
                    if chan == 20:
                        self.io(c, code, text)
                    else:
                        c.ioctl2(fd, code, text + b"\0")
                    self.assertTrue(allowed)
                except ServerError as e:
                    self.assertFalse(allowed)
                    self.assertEqual(e.errno, -37)
        for version, allowed in (("1.6.1", True), ("1.6.2", False), ("1.5.1", False)):
            with self.subTest(version=version, cmd=50):
                self.start(version=version)
                c = self.client()
                fd = c.open(b"/f", 4)
                try:
                    r = c.call(50, (I64, "fd", fd), (I32, "mode", 0), (I32, "len", 8), (I64, "offset", 8))
                    self.assertEqual((allowed, r["len"].int()), (True, 8))
                except ServerError as e:
                    self.assertEqual((allowed, e.errno), (False, -37))


class Recovery(ServerCase):
    """Server contexts: a dropped exchange is recovered by attaching a new
    connection to the old context, and nothing runs twice."""

    options = None
    BLOCK = 4096

    def write_through_a_drop(self, when):
        self.start(drops=[], log_path=os.path.join(self.tmp, "log"))
        c = self.client()
        c.enable_recovery()
        fd = c.open(b"/f", 4 | 8)
        self.srv.add_drop(when, 2, 30)
        data = os.urandom(3 * self.BLOCK)
        self.assertEqual(c.write(fd, data, self.BLOCK, offset=0), len(data))
        got, _ = c.read(fd, len(data), self.BLOCK, offset=0)
        self.assertEqual(got, data)
        c.close_file(fd)
        writes = [(e["offset"], e["conn"]) for e in self.srv.requests(30)]
        self.assertEqual(writes, [(0, 1), (self.BLOCK, 1 if when == "after" else 2), (2 * self.BLOCK, 2)])
        drops = [e for e in self.srv.events() if e["event"] == "drop"]
        self.assertEqual([(d["when"], d["cmd"]) for d in drops], [(when, 30)])
        return c

    def test_drop_before_a_request_sends_it_again(self):
        c = self.write_through_a_drop("before")
        self.assertEqual(c.recoveries, [104])
        attach = [e["code"] for e in self.srv.requests(8) if e["code"] in (103, 104, 105, 106, 107)]
        self.assertEqual(attach, [107, 106, 103, 104, 103])

    def test_drop_after_a_request_reads_the_kept_reply(self):
        c = self.write_through_a_drop("after")
        self.assertEqual(c.recoveries, [105])

    def test_counts_follow_every_frame(self):
        self.start()
        c = self.client()
        c.enable_recovery()
        # probe, login, codec, information, 101, 102: this 103 is the seventh
        self.assertEqual(c.ioctl2(0, 103, b"0\0"), b"6")
        self.assertEqual(c.ioctl2(0, 103, b"%d\0" % c.recovery), b"7")
        other = self.client()
        self.assertEqual(other.ioctl2(0, 106, b"%d\0" % c.recovery), b"0")
        c.close()
        self.clients.remove(c)
        # The server counts the end of the connection when its thread sees it.
        deadline = time.monotonic() + 30
        while other.ioctl2(0, 103, b"%d\0" % c.recovery) != b"8" and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(other.ioctl2(0, 103, b"%d\0" % c.recovery), b"8")

    def test_goodbye_and_unprepared_contexts_end_with_their_connection(self):
        self.start()
        a, b = self.client(), self.client()
        a.enable_recovery()
        ids = [a.recovery, int(b.ioctl2(0, 102))]
        a.send(2, [])
        b.close()
        self.clients.remove(b)
        probe = self.client()
        deadline = time.monotonic() + 30
        for cid in ids:
            while True:
                try:
                    probe.ioctl2(0, 103, b"%d\0" % cid)
                except ServerError as e:
                    self.assertEqual(e.errno, -46)
                    break
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.02)

    def test_a_delayed_reply_is_stopped_and_read_back(self):
        self.start(delays=[(5000, 12)])
        self.write_file("f", b"abc")
        c = self.client()
        c.enable_recovery()
        fd = c.open(b"/f", 1)
        # Only the read waits briefly; the recovery's new connection has the
        # usual time (a loaded machine can take longer than 0.3 s to log in).
        c.sock.settimeout(0.3)
        t = time.monotonic()
        self.assertEqual(c.read(fd, 10, self.BLOCK)[0], b"abc")
        self.assertLess(time.monotonic() - t, 4)
        self.assertEqual(c.recoveries, [105])
        self.assertEqual(len(self.srv.requests(12)), 1)

    def test_a_request_still_running_and_an_index_jump_give_up(self):
        for opts, text in [(dict(delays=[(10000, 12)], ignore_stop=True), "the old request still runs"),
                           (dict(index_skew=2, drops=[]), "sent")]:
            with self.subTest(text):
                self.start(**opts)
                self.write_file("f", b"abc")
                c = self.client()
                c.enable_recovery()
                fd = c.open(b"/f", 1)
                c.sock.settimeout(0.3)
                if not opts.get("delays"):
                    self.srv.add_drop("before", 1, 12)
                with self.assertRaises(ConnectionError) as cm:
                    c.read(fd, 10, self.BLOCK)
                self.assertIn(text, str(cm.exception))

    def test_connections_after_a_drop_can_stall_or_be_reset(self):
        for action in ("stall", "reset"):
            with self.subTest(action):
                self.start(drops=[], after_drop=(action, 2))
                c = self.client()
                self.srv.add_drop("before", 1, 4)
                self.assertRaises(ConnectionError, c.info)
                def late_login():
                    late = Client(self.srv.port, timeout=0.3)
                    self.clients.append(late)
                    late.login()
                for _ in range(2):
                    self.assertRaises((ConnectionError, socket.timeout, OSError), late_login)
                self.client()
                kinds = [e["event"] for e in self.srv.events() if e["event"] in ("stall", "reset")]
                self.assertEqual(kinds, [action, action])

    def test_contexts_need_version_154(self):
        self.start(version="1.5.3")
        with self.assertRaises(ServerError) as cm:
            self.client().enable_recovery()
        self.assertEqual(cm.exception.errno, -37)


def make_cert(directory):
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True, timeout=60)
    return cert, key


@unittest.skipUnless(shutil.which("openssl"), "needs openssl")
class Tls(ServerCase):
    options = None

    def test_tls_session(self):
        cert, key = make_cert(self.tmp)
        self.start(cert=cert, key=key, login="key")
        self.write_file("f", b"over tls" * 10000)
        c = self.client(tls=True)
        fd = c.open(b"/f", 1)
        self.assertEqual(c.read(fd, 80000, 65536)[0], b"over tls" * 10000)
        plain = Client(self.srv.port)
        self.clients.append(plain)
        self.assertRaises((ConnectionError, OSError, W.FrameError), plain.login)


class Program(unittest.TestCase):
    """The server as a program: its port on the first line, the request log,
    SIGTERM, --help."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zksd_prog_")
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc:
            self.proc.stdout.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_port_log_and_sigterm(self):
        log = os.path.join(self.tmp, "req.log")
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "zksd_server.py"), "--root", self.tmp,
                                      "--port", "0", "--log", log, "--version", "1.6.3", "--password", "pw"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        self.assertRegex(line, r"^PORT \d+\n$")
        c = Client(int(line.split()[1]))
        c.connect(pwd=b"pw")
        self.assertEqual(c.version, "1.6.3")
        c.close()
        entries = [json.loads(x) for x in open(log)]
        self.assertEqual([e["cmd"] for e in entries if e["event"] == "request"], [1, 1, 20, 4])
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=10), 0)
        self.assertEqual(self.proc.stdout.read(), "")
        self.proc.stderr.close()

    def test_help_names_every_switch(self):
        r = subprocess.run([sys.executable, os.path.join(HERE, "zksd_server.py"), "--help"], capture_output=True,
                           text=True, timeout=30)
        self.assertEqual(r.returncode, 0)
        import re
        import zksd_server
        for switch in set(re.findall(r"--[a-z-]+", zksd_server.__doc__)):
            self.assertIn(switch, r.stdout)
        r = subprocess.run([sys.executable, os.path.join(HERE, "zksd_server.py")], capture_output=True, text=True,
                           timeout=30)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--root", r.stderr)


if __name__ == "__main__":
    unittest.main()
