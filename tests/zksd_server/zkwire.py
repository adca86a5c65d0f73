"""zksd frames and blob-message tables, shared by the test server and the
test client.

A frame is an 8-byte head -- 'Z', 'K', the protocol byte, the command id --
whose last four bytes are the root attribute's word, followed by the root's
payload. Every attribute is a 32-bit big-endian word (bit 31 the extended
flag, bits 30..24 the id, bits 23..0 the raw length = 4 + payload length)
followed by the payload and zero padding up to a multiple of 4. The root
(extended flag 0, id 2) holds named fields: extended attributes whose payload
starts with a 16-bit big-endian name length, the name, a NUL and zeros up to
the header length h = (n + 6) & ~3; the value follows.

Also here: the platform status codes the server sends as errno for file
errors, the errno -> status map they come from, and the transport codes of a
client.
"""
import errno as _errno
import struct

MAGIC = b"ZK"
PROTO = 1
HEAD_LEN = 8
ROOT_ID = 2

# Field types: the id of a named field.
T_UNSPEC, T_ARRAY, T_TABLE, T_BINARY, T_STRING, T_INT64, T_INT32, T_INT16, T_INT8 = range(9)
T_MAX = T_INT8

# Fixed value lengths of the integer types; the other types take any length
# (a string needs at least its NUL, checked separately).
_FIXED_LEN = {T_INT64: 8, T_INT32: 4, T_INT16: 2, T_INT8: 1}
_INT_FMT = {T_INT64: ">q", T_INT32: ">i", T_INT16: ">h", T_INT8: ">b"}

U64_MASK = (1 << 64) - 1


def pad4(n):
    return (n + 3) & ~3


def header_len(namelen):
    """Header length of a named field: the smallest multiple of 4 holding the
    2-byte name length, the name and its NUL."""
    return (namelen + 6) & ~3


def _word(ext, aid, raw_len):
    return ((0x80000000 if ext else 0) | ((aid & 0x7F) << 24) | (raw_len & 0xFFFFFF))


class ParseError(Exception):
    """A table that breaks the named-field rules."""


class FrameError(Exception):
    """A frame head or length that cannot be read as a zksd frame."""


# ---------------------------------------------------------------------------
# Building a table.


class Message:
    """A table being built: the root word and the fields in the order added.
    Fields are written straight into one bytearray, so a codec can pack into
    a reserved binary field (`alloc_bin`) and the field then be trimmed to the
    packed size (`trim_last`)."""

    def __init__(self):
        self.buf = bytearray(4)
        self._last = None  # (offset of the last field, its header length)
        self.tail = None  # (value kept by reference, its padding) of a last binary field

    def add_field(self, ftype, name, value=b""):
        off = self._reserve(ftype, name, len(value))
        h = self._last[1]
        self.buf[off + 4 + h:off + 4 + h + len(value)] = value
        return self

    def _reserve(self, ftype, name, vlen):
        if isinstance(name, str):
            name = name.encode()
        name = name or b""
        h = header_len(len(name))
        raw = 4 + h + vlen
        off = len(self.buf)
        self.buf += bytes(pad4(raw))
        struct.pack_into(">IH", self.buf, off, _word(True, ftype, raw), len(name))
        self.buf[off + 6:off + 6 + len(name)] = name
        self._last = (off, h)
        return off

    def add_str(self, name, text):
        if isinstance(text, str):
            text = text.encode()
        return self.add_field(T_STRING, name, bytes(text) + b"\0")

    def add_i64(self, name, v):
        return self.add_field(T_INT64, name, struct.pack(">Q", v & U64_MASK))

    def add_i32(self, name, v):
        return self.add_field(T_INT32, name, struct.pack(">I", v & 0xFFFFFFFF))

    def add_bin(self, name, data):
        return self.add_field(T_BINARY, name, data)

    def alloc_bin(self, name, n):
        """Reserves a binary field of n value bytes; returns the offset of the
        value inside `buf`."""
        off = self._reserve(T_BINARY, name, n)
        return off + 4 + self._last[1]

    def trim_last(self, n):
        """Shortens the value of the last field to n bytes."""
        off, h = self._last
        raw = 4 + h + n
        struct.pack_into(">I", self.buf, off, _word(True, T_BINARY, raw))
        del self.buf[off + pad4(raw):]
        # zero the padding that the shorter value leaves behind
        self.buf[off + raw:off + pad4(raw)] = bytes(pad4(raw) - raw)

    def add_bin_ref(self, name, value):
        """A binary field whose value stays in the caller's buffer and goes
        out from there (no copy of a large read); the last field."""
        assert self.tail is None
        off = self._reserve(T_BINARY, name, 0)
        raw = 4 + self._last[1] + len(value)
        struct.pack_into(">I", self.buf, off, _word(True, T_BINARY, raw))
        self.tail = (value, pad4(raw) - raw)
        return self

    def root(self):
        """The root as one bytearray (a value kept by reference is copied in)."""
        if self.tail is not None:
            value, pad = self.tail
            self.tail = None
            self.buf += value
            self.buf += bytes(pad)
        struct.pack_into(">I", self.buf, 0, _word(False, ROOT_ID, len(self.buf)))
        return self.buf

    def parts(self, cmd, proto=PROTO):
        """The frame as a list of buffers to send one after the other."""
        total = len(self.buf)
        if self.tail is not None:
            total += len(self.tail[0]) + self.tail[1]
        struct.pack_into(">I", self.buf, 0, _word(False, ROOT_ID, total))
        out = [bytes((MAGIC[0], MAGIC[1], proto & 0xFF, cmd & 0xFF)) + bytes(self.buf)]
        if self.tail is not None:
            out += [self.tail[0], bytes(self.tail[1])]
        return out

    def frame(self, cmd, proto=PROTO):
        """The whole frame: head and root."""
        return make_frame(cmd, self, proto)


# ---------------------------------------------------------------------------
# Reading a table.


class Field:
    """One named field of a parsed table; `value` is a view into the frame."""

    __slots__ = ("ftype", "name", "value")

    def __init__(self, ftype, name, value):
        self.ftype = ftype
        self.name = name
        self.value = value

    def int(self):
        return struct.unpack(_INT_FMT[self.ftype], self.value)[0]

    def text(self):
        """String value without its NUL, as bytes."""
        return bytes(self.value[:-1]) if self.ftype == T_STRING else bytes(self.value)


def attributes(payload):
    """Yields (offset, word, raw length) of each attribute of a payload while
    the walk rule holds: remaining length above 0, padded length at least 4
    and within what remains. Trailing bytes end the walk quietly."""
    pos = 0
    n = len(payload)
    while n - pos > 0:
        if n - pos < 4:
            return
        word = struct.unpack_from(">I", payload, pos)[0]
        raw = word & 0xFFFFFF
        padded = pad4(raw)
        if padded < 4 or padded > n - pos:
            return
        yield pos, word, raw
        pos += padded


def _name_len(payload, off, raw):
    if raw < 6:
        raise ParseError("attribute of raw length %d holds no name length" % raw)
    return struct.unpack_from(">H", payload, off + 4)[0]


def check_attr(payload, off, word, raw):
    """The reader's check of one named field; raises ParseError."""
    plen = raw - 4
    if plen < 2:
        raise ParseError("attribute too short for its name length")
    nlen = struct.unpack_from(">H", payload, off + 4)[0]
    if nlen == 0:
        raise ParseError("field without a name")
    if nlen > plen - 2:
        raise ParseError("name length %d beyond the payload" % nlen)
    if payload[off + 6 + nlen] != 0:
        raise ParseError("name not ended by NUL")
    aid = (word >> 24) & 0x7F
    if aid > T_MAX:
        raise ParseError("field type %d" % aid)
    h = header_len(nlen)
    vlen = plen - h
    if vlen < 0:
        raise ParseError("value length below 0")
    if aid in _FIXED_LEN and vlen != _FIXED_LEN[aid]:
        raise ParseError("type %d with %d value bytes" % (aid, vlen))
    if aid == T_STRING and (vlen < 1 or payload[off + 4 + h + vlen - 1] != 0):
        raise ParseError("string without its NUL")


def parse(policy, payload):
    """Fills one slot per policy row (name, type) with the first field of
    that name and type; unknown fields are skipped unchecked. A field whose
    type and name length match a row but that fails the check fails the whole
    parse (ParseError). Non-extended attributes carry no name and are
    skipped; an attribute too short to hold a name length fails the parse."""
    payload = memoryview(payload)
    rows = [(n.encode() if isinstance(n, str) else n, t) for n, t in policy]
    tb = [None] * len(rows)
    for off, word, raw in attributes(payload):
        if raw < 4:
            raise ParseError("attribute of raw length %d" % raw)
        if not word & 0x80000000:
            continue
        aid = (word >> 24) & 0x7F
        nlen = None
        for i, (rname, rtype) in enumerate(rows):
            if not rname:
                continue
            if rtype != T_UNSPEC and rtype != aid:
                continue
            if nlen is None:
                nlen = _name_len(payload, off, raw)
            if nlen != len(rname):
                continue
            check_attr(payload, off, word, raw)
            if tb[i] is not None:
                continue
            if bytes(payload[off + 6:off + 6 + nlen]) != rname:
                continue
            h = header_len(nlen)
            tb[i] = Field(aid, rname, payload[off + 4 + h:off + raw])
    return tb


def parse_all(payload):
    """Every named field of a table, in order, as a list of Field (checked);
    used by the request log and by tests."""
    payload = memoryview(payload)
    out = []
    for off, word, raw in attributes(payload):
        if raw < 4:
            raise ParseError("attribute of raw length %d" % raw)
        if not word & 0x80000000:
            continue
        check_attr(payload, off, word, raw)
        nlen = struct.unpack_from(">H", payload, off + 4)[0]
        h = header_len(nlen)
        out.append(Field((word >> 24) & 0x7F, bytes(payload[off + 6:off + 6 + nlen]), payload[off + 4 + h:off + raw]))
    return out


# ---------------------------------------------------------------------------
# Frames on a stream.

MAX_FRAME = 64 << 20  # largest root a peer of this project sends or takes


def split_head(head):
    """(protocol byte, command id, root word, padded root length) of an
    8-byte head; FrameError for a wrong magic or a root below 4 bytes."""
    if len(head) != HEAD_LEN:
        raise FrameError("short head: %d bytes" % len(head))
    if head[0:2] != MAGIC:
        raise FrameError("magic error %02x %02x" % (head[0], head[1]))
    word = struct.unpack_from(">I", head, 4)[0]
    raw = word & 0xFFFFFF
    if raw < 4:
        raise FrameError("root length %d below 4" % raw)
    return head[2], head[3], word, pad4(raw)


def make_frame(cmd, msg, proto=PROTO):
    """Head and root of a built Message as one bytes object."""
    root = msg.root()
    return bytes((MAGIC[0], MAGIC[1], proto & 0xFF, cmd & 0xFF)) + bytes(root)


# ---------------------------------------------------------------------------
# Status codes.

# errno -> platform status code, as the platform maps a failed system call.
ERRNO_TO_STATUS = {
    _errno.EPERM: -38, _errno.ENOENT: -102, _errno.ESRCH: -50, _errno.EINTR: -39, _errno.EIO: -250,
    _errno.ENXIO: -258, _errno.E2BIG: -42, _errno.ENOEXEC: -608, _errno.EBADF: -4, _errno.ECHILD: -50,
    _errno.EAGAIN: -52, _errno.ENOMEM: -8, _errno.EACCES: -38, _errno.EFAULT: -6, _errno.EBUSY: -138,
    _errno.EEXIST: -105, _errno.EXDEV: -119, _errno.ENODEV: -102, _errno.ENOTDIR: -103, _errno.EISDIR: -127,
    _errno.EINVAL: -2, _errno.ENFILE: -106, _errno.EMFILE: -106, _errno.ENOTTY: -36, _errno.ETXTBSY: -114,
    _errno.EFBIG: -128, _errno.ENOSPC: -152, _errno.ESPIPE: -109, _errno.EROFS: -113, _errno.EPIPE: -301,
    _errno.EDOM: -2, _errno.ERANGE: -2, _errno.EDEADLK: -365, _errno.ENAMETOOLONG: -120, _errno.ENOLCK: -115,
    _errno.ENOSYS: -12, _errno.ENOTEMPTY: -125, _errno.ELOOP: -156, _errno.ENODATA: -304, _errno.ENONET: -405,
    _errno.EPROTO: -466, _errno.EOVERFLOW: -42, _errno.ENOTUNIQ: -406, _errno.EBADFD: -4, _errno.EILSEQ: -58,
    _errno.ERESTART: -39, _errno.ENOTSOCK: -438, _errno.EDESTADDRREQ: -439, _errno.EMSGSIZE: -440,
    _errno.EPROTOTYPE: -441, _errno.ENOPROTOOPT: -442, _errno.EPROTONOSUPPORT: -443,
    _errno.ESOCKTNOSUPPORT: -444, _errno.EOPNOTSUPP: -37, _errno.EPFNOSUPPORT: -446, _errno.EAFNOSUPPORT: -447,
    _errno.EADDRINUSE: -448, _errno.EADDRNOTAVAIL: -449, _errno.ENETDOWN: -450, _errno.ENETUNREACH: -451,
    _errno.ENETRESET: -452, _errno.ECONNABORTED: -453, _errno.ECONNRESET: -454, _errno.ENOBUFS: -455,
    _errno.EISCONN: -456, _errno.ENOTCONN: -457, _errno.ESHUTDOWN: -458, _errno.ETOOMANYREFS: -459,
    _errno.ETIMEDOUT: -40, _errno.ECONNREFUSED: -461, _errno.EHOSTDOWN: -464, _errno.EHOSTUNREACH: -465,
    _errno.EALREADY: -437, _errno.EINPROGRESS: -436, _errno.EDQUOT: -152, _errno.ENOMEDIUM: -121,
    _errno.EMEDIUMTYPE: -122, _errno.ECANCELED: -14,
}

# Messages of the status codes this server sends.
STATUS_TEXT = {
    -1: "General failure - DON'T USE THIS!!!.", -2: "Invalid parameter.", -4: "Invalid handle.",
    -6: "Invalid memory pointer.", -8: "Memory allocation failed.", -12: "The request function is not implemented.",
    -14: "The request was aborted.", -36: "Invalid function.", -37: "Not supported.", -38: "Access denied.",
    -39: "Call interrupted.", -40: "Timeout.", -41: "Buffer is too small.", -42: "Data size overflow.",
    -46: "Not found.", -50: "The specified process was not found.", -52: "Retry the operation.",
    -58: "Error while characters translation (unicode and so).", -97: "Bad data.", -102: "File not found.",
    -103: "Path not found.", -105: "The object in question already exists.", -106: "Too many open files.",
    -109: "Trying to seek on device.", -113: "Write protect error.",
    -114: "Sharing violation, file is being used by another process.", -115: "Unable to lock a region of a file.",
    -119: "Can't move file to another disk.", -120: "The filename or extension is too long.",
    -121: "Media not present in drive.", -122: "The type of media was not recognized. Not formatted?.",
    -125: "Can't delete directory with files.",
    -127: "A non-directory operation was attempted on a directory object.",
    -128: "Tried to grow a file beyond the limit imposed by the process or the filesystem.",
    -138: "Device or resource is busy.", -152: "Disk is full.", -156: "Too many symbolic links.",
    -250: "Device i/o error.", -258: "Device i/o: No such device or address.", -301: "Broken pipe.",
    -304: "No data in pipe.", -365: "Deadlock detected.", -466: "Protocol error.",
}


def status_of_errno(e):
    """Platform status code of an errno value (-1 for one outside the map)."""
    if e == 0:
        return 0
    return ERRNO_TO_STATUS.get(e, -1)


def status_text(code):
    return STATUS_TEXT.get(code, "status %d" % code)


# Transport codes of a client request and their texts.
TRANSPORT_TEXT = ["ok", "net error", "net data error", "timeout error", "zksd srv error", "memory error",
                  "user stop error", "unpack data error", "data len error"]


def transport_text(code):
    return TRANSPORT_TEXT[code] if 0 <= code < len(TRANSPORT_TEXT) else "unkown error"
