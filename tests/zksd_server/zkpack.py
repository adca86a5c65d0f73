"""The two zksd codecs: "none" (the bytes as they are) and "lz4" (one LZ4
block: no frame header, no size prefix; the receiver knows the sizes from the
table). LZ4 is the system's liblz4 through ctypes.
"""
import ctypes
import ctypes.util

ACCELERATION = 17


def bound(n):
    """Worst-case packed size of n bytes; 0 above 0x7E000000."""
    n &= 0xFFFFFFFF
    if n > 0x7E000000:
        return 0
    return n + n // 255 + 16


def _load_lz4():
    for name in ("liblz4.so.1", ctypes.util.find_library("lz4")):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        lib.LZ4_compress_fast.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]
        lib.LZ4_compress_fast.restype = ctypes.c_int
        lib.LZ4_decompress_safe.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        lib.LZ4_decompress_safe.restype = ctypes.c_int
        return lib
    return None


_LZ4 = _load_lz4()


def _addr(buf):
    """Address of a bytes object, a bytearray or a writable memoryview. The
    caller keeps buf alive for the duration of the C call."""
    if isinstance(buf, bytes):
        return ctypes.cast(ctypes.c_char_p(buf), ctypes.c_void_p).value
    if len(buf) == 0:
        return None
    return ctypes.addressof(ctypes.c_char.from_buffer(buf))


class NoneCodec:
    name = "none"
    id = 0

    def pack_into(self, src, dst, off, cap):
        """Packs src into dst[off:off+cap]; the packed length, or -1."""
        n = len(src)
        if n > cap:
            return -1
        dst[off:off + n] = src
        return n

    def unpack(self, src, cap):
        """The unpacked bytes of src, or None when they exceed cap bytes."""
        return bytes(src) if len(src) <= cap else None


class Lz4Codec:
    name = "lz4"
    id = 1

    def pack_into(self, src, dst, off, cap):
        if _LZ4 is None:
            return -1
        if cap <= 0:
            return -1
        keep = src if isinstance(src, (bytes, bytearray)) else bytes(src)
        view = memoryview(dst)[off:off + cap]
        n = _LZ4.LZ4_compress_fast(_addr(keep), _addr(view), len(keep), cap, ACCELERATION)
        view.release()
        return n if n > 0 else -1

    def unpack(self, src, cap):
        if _LZ4 is None or cap < 0:
            return None
        keep = src if isinstance(src, (bytes, bytearray)) else bytes(src)
        if len(keep) == 0:
            return None
        out = bytearray(max(cap, 1))
        n = _LZ4.LZ4_decompress_safe(_addr(keep), _addr(out), len(keep), cap)
        if n < 0:
            return None
        return bytes(out[:n])


CODECS = {"none": NoneCodec, "lz4": Lz4Codec}


def new(name):
    """A codec by its exact name, or None."""
    cls = CODECS.get(name)
    if cls is None or (cls is Lz4Codec and _LZ4 is None):
        return None
    return cls()


def pack(codec, data):
    """Packs data into a new bytes object (for tests and small values)."""
    cap = bound(len(data))
    out = bytearray(cap)
    n = codec.pack_into(data, out, 0, cap)
    return None if n < 0 else bytes(out[:n])
