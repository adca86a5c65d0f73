#!/usr/bin/env python3
"""UDP receiver of binary log packets, written apart from the sender.

Binds 127.0.0.1 on a free port, prints "port N" on its standard output, then
prints one JSON line per datagram received until it has seen --count of them,
a record whose message is --until, or --timeout seconds passed without one,
and ends with "end".

Each packet is checked on its own terms: magic "bsv", flags, length field,
CRC-8 (polynomial 0x07, initial 0) over bytes 3 .. end-1, and for flags 6 the
RC4 cipher with the shared packet key over bytes 4 .. end. The envelope's
fields and the inner log record are decoded with struct.
"""
import argparse
import json
import socket
import struct
import sys

# The packet key shared with the sender.
KEY = bytes([0x7a, 0x6b, 0x75, 0x65, 0x2d, 0x62, 0x73, 0x76,
             0x2d, 0x6b, 0x65, 0x79, 0x2d, 0x30, 0x30, 0x31])


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xff
        s[i], s[j] = s[j], s[i]
    out = bytearray()
    i = j = 0
    for b in data:
        i = (i + 1) & 0xff
        j = (j + s[i]) & 0xff
        s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) & 0xff])
    return bytes(out)


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xff if crc & 0x80 else (crc << 1) & 0xff
    return crc


def cstrings(data, count):
    out = []
    pos = 0
    for _ in range(count):
        z = data.find(b"\0", pos)
        if z < 0:
            out.append("")
            pos = len(data)
            continue
        out.append(data[pos:z].decode("utf-8", "replace"))
        pos = z + 1
    return out


def decode(pkt):
    r = {"size": len(pkt)}
    if len(pkt) < 16 or pkt[:3] != b"bsv":
        r["error"] = "magic or size"
        return r
    flags = pkt[3]
    r["flags"] = flags
    r["raw_head"] = pkt[:8].hex()
    if flags & 4:
        pkt = pkt[:4] + rc4(KEY, pkt[4:])
    length, ptype = struct.unpack_from("<HH", pkt, 4)
    r["length"] = length
    r["type"] = ptype
    if flags & 2:
        r["crc"] = pkt[-1]
        r["crc_ok"] = crc8(pkt[3:-1]) == pkt[-1]
        body = pkt[8:-1]
    else:
        body = pkt[8:]
    if ptype != 5 or len(body) < 34:
        return r
    (sid, bid, stime, ver_id, app_id, os_id, arch_id, type_id) = struct.unpack_from("<QQQIHBBH", body, 0)
    r.update(sid=sid, bid=bid, stime=stime, ver_id=ver_id, app_id=app_id, os_id=os_id,
             arch_id=arch_id, type_id=type_id)
    rest = body[34:]
    z = rest.find(b"\0")
    r["hostname"] = rest[:z].decode() if z >= 0 else ""
    rec = rest[z + 1:] if z >= 0 else b""
    r["rec_len"] = len(rec)
    if len(rec) >= 21:
        sec, usec, pid, tid, level = struct.unpack_from("<QIIIB", rec, 0)
        tag, tid_name, file, line, func, msg = cstrings(rec[21:], 6)
        r["rec"] = dict(sec=sec, usec=usec, pid=pid, tid=tid, level=level, tag=tag, tid_name=tid_name,
                        file=file, line=line, func=func, msg=msg)
    return r


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=1000)
    ap.add_argument("--timeout", type=float, default=30.0)
    ap.add_argument("--until", default=None, help="stop after a record with this message")
    a = ap.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(a.timeout)
    print("port %d" % s.getsockname()[1], flush=True)
    seen = 0
    while seen < a.count:
        try:
            pkt = s.recv(65536)
        except socket.timeout:
            break
        r = decode(pkt)
        print(json.dumps(r), flush=True)
        seen += 1
        if a.until is not None and r.get("rec", {}).get("msg") == a.until:
            break
    print("end", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
